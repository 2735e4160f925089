# The simulator's tests: its library and in-process port, the program itself
# (run as a child process), and libmodbus as an independent Modbus client.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBMODBUS QUIET IMPORTED_TARGET libmodbus)
endif()
if(LIBMODBUS_FOUND)
  target_link_libraries(${target} PRIVATE PkgConfig::LIBMODBUS)
else()
  find_path(MODBUS_INCLUDE_DIR modbus.h PATH_SUFFIXES modbus REQUIRED)
  find_library(MODBUS_LIBRARY modbus REQUIRED)
  target_include_directories(${target} PRIVATE ${MODBUS_INCLUDE_DIR})
  target_link_libraries(${target} PRIVATE ${MODBUS_LIBRARY})
endif()
target_link_libraries(${target} PRIVATE plcsim_port plcsim_lib)
target_compile_definitions(${target} PRIVATE PLCSIM_PATH="$<TARGET_FILE:plcsim>")
add_dependencies(${target} plcsim)

# pymodbus, a second independent client, checks the framing and CRC of the
# private functions. Debian's python3-pymodbus belongs to the system python.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME plcsim_pymodbus
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/pymodbus_check.py $<TARGET_FILE:plcsim>)
  set_tests_properties(plcsim_pymodbus PROPERTIES TIMEOUT 120)
endif()
