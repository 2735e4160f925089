# Collection through the loaded plug-in against the in-process simulated PLC.
target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
