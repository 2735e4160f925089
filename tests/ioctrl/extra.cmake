# Text commands end to end: the built plug-in against the simulated PLC
# through the in-process port.
target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
