# devgate's tests: the gateway library in process against plcsim, and the
# devgate program run as a child process. Built with the tools only (see
# QUORLAN_TOOL_TESTS).
target_link_libraries(${target} PRIVATE gateway plcsim_lib)
target_compile_definitions(${target} PRIVATE DEVGATE_PATH="$<TARGET_FILE:devgate>")
add_dependencies(${target} devgate)
