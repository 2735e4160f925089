# Faults end to end: the driver against the simulator through real ports
# (pseudo-terminal, TCP) and the in-process port. The area is listed in
# QUORLAN_NATIVE_ONLY_TESTS; a build directory whose cache predates that entry
# still builds it when cross compiling, so there (and without the tools) the
# program only reports a skip.
if(TARGET plcsim_port AND NOT CMAKE_CROSSCOMPILING)
  target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
else()
  target_compile_definitions(${target} PRIVATE QUORLAN_NO_PLCSIM=1)
endif()
