# The ports are tested against the simulator's servers.
target_link_libraries(${target} PRIVATE plcsim_lib)
