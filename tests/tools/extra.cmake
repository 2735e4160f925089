# The bench tools' tests: the device-description library in process, and the
# devcfg and devhost programs run as child processes (devhost against the
# simulator, in process through --simulate or on TCP from the test).
if(TARGET devdesc AND TARGET devhost)
  target_link_libraries(${target} PRIVATE devdesc plcsim_lib)
  target_compile_definitions(${target} PRIVATE DEVCFG_PATH="$<TARGET_FILE:devcfg>"
                                               DEVHOST_PATH="$<TARGET_FILE:devhost>"
                                               PLCSIM_PATH="$<TARGET_FILE:plcsim>")
  add_dependencies(${target} devcfg devhost plcsim)
else()
  target_compile_definitions(${target} PRIVATE QUORLAN_NO_TOOLS=1)
endif()
