# Round trips run against the simulated PLC through its in-process port.
target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
