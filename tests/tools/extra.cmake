# The bench tools' tests: the device-description library in process, and the
# devcfg, devhost and plcsim programs run as child processes (devhost against
# the simulator, in process through --simulate or on TCP from the test). Built
# with the tools only (see QUORLAN_TOOL_TESTS).
target_link_libraries(${target} PRIVATE devdesc toolkit_desc plcsim_lib)
target_compile_definitions(${target} PRIVATE DEVCFG_PATH="$<TARGET_FILE:devcfg>"
                                             DEVHOST_PATH="$<TARGET_FILE:devhost>"
                                             PLCSIM_PATH="$<TARGET_FILE:plcsim>")
add_dependencies(${target} devcfg devhost plcsim)
