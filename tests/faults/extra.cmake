# Faults end to end: the driver against the simulator through real ports
# (pseudo-terminal, TCP) and the in-process port. Native only (see
# QUORLAN_NATIVE_ONLY_TESTS).
target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
