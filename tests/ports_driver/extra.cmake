# The driver's transactions through a real serial port against the simulator
# on a pseudo-terminal. Native only (listed in QUORLAN_NATIVE_ONLY_TESTS), so
# cross builds never reach this file; nothing here depends on the target.
if(TARGET plcsim_lib)
  target_link_libraries(${target} PRIVATE plcsim_lib)
else()
  target_compile_definitions(${target} PRIVATE QUORLAN_NO_PLCSIM=1)
endif()
