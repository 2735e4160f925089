# The driver's transactions through a real serial port against the simulator
# on a pseudo-terminal. Native only (see QUORLAN_NATIVE_ONLY_TESTS).
target_link_libraries(${target} PRIVATE plcsim_lib)
