# devgate's tests: the gateway library in process against plcsim, and the
# devgate program run as a child process. Built with the tools only (see
# QUORLAN_TOOL_TESTS).
target_link_libraries(${target} PRIVATE gateway gateway_http gateway_modbus plcsim_lib)
target_compile_definitions(${target} PRIVATE DEVGATE_PATH="$<TARGET_FILE:devgate>")
add_dependencies(${target} devgate)

# The HTTP face from a real HTTP client (Python's urllib) against devgate on a
# simulated site.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_http_api COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/http_api.py $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_http_api PROPERTIES TIMEOUT 120)
  if(QUORLAN_SANITIZE)
    # The sanitizers' allocator holds freed memory in quarantine, so resident
    # memory tells nothing about what devgate keeps.
    set_tests_properties(devgate_http_api PROPERTIES ENVIRONMENT DEVGATE_SANITIZED=1)
  endif()
endif()

# The history on disk over HTTP, and across a kill -9 of devgate.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_history_http COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/history_http.py
                                             $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_history_http PROPERTIES TIMEOUT 120)
endif()

# The HTTP face under 200 idle and 50 slowloris connections: a normal client
# is answered, the slow ones are closed.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_http_hostile COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/http_hostile.py
                                             $<TARGET_FILE:devgate> ${PROJECT_SOURCE_DIR}/examples/site.toml)
  set_tests_properties(devgate_http_hostile PROPERTIES TIMEOUT 120)
endif()

# HTTPS against a certificate the test makes (openssl, curl); testssl.sh's
# scan (about 90 s on two shared cores) as a test of its own.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_http_tls COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/http_tls.py $<TARGET_FILE:devgate>
                                         ${PROJECT_SOURCE_DIR}/examples/site.toml)
  set_tests_properties(devgate_http_tls PROPERTIES TIMEOUT 120)
  add_test(NAME devgate_testssl COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/http_tls.py $<TARGET_FILE:devgate>
                                        ${PROJECT_SOURCE_DIR}/examples/site.toml --testssl)
  set_tests_properties(devgate_testssl PROPERTIES TIMEOUT 400)
endif()

# The Modbus TCP face against mbpoll and pymodbus (Debian's, for the system
# python), started on free ports of 127.0.0.1.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_modbus COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/modbus_check.py $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_modbus PROPERTIES TIMEOUT 120)
endif()

# The web console in headless Chromium (Debian's chromium, chromium-driver and
# python3-selenium) against devgate on the example site.
if(NOT CMAKE_CROSSCOMPILING AND NOT QUORLAN_SANITIZE AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_page_browser
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/page_browser.py $<TARGET_FILE:devgate>
                   ${PROJECT_SOURCE_DIR}/examples/site.toml ${CMAKE_BINARY_DIR})
  set_tests_properties(devgate_page_browser PROPERTIES TIMEOUT 120)
endif()

# The MQTT face, against a mosquitto broker the tests start.
target_link_libraries(${target} PRIVATE gateway_mqtt)

# The history on disk, checked with SQLite itself.
find_package(SQLite3 REQUIRED)
target_link_libraries(${target} PRIVATE gateway_history SQLite::SQLite3)

# Readiness and watchdog messages on a notify socket of the test's own.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_notify COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/notify_check.py $<TARGET_FILE:devgate>
                                       ${PROJECT_SOURCE_DIR}/examples)
  set_tests_properties(devgate_notify PROPERTIES TIMEOUT 180)
endif()

# Users with roles on the HTTP face: the users file, every role at every
# endpoint, sessions, failed logins.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_http_users COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/http_users.py $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_http_users PROPERTIES TIMEOUT 120)
endif()

# /metrics: promtool checks the exposition, and Debian's Prometheus server
# scrapes devgate with the token; skipped when prometheus is not installed.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_metrics COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/metrics_prometheus.py
                                        $<TARGET_FILE:devgate> ${PROJECT_SOURCE_DIR}/examples/site.toml)
  set_tests_properties(devgate_metrics PROPERTIES TIMEOUT 90 SKIP_RETURN_CODE 77)
endif()

# --mqtt-backlog against real mosquitto brokers: a 20 s outage with a restart
# of devgate in it, then a bridged second broker; every recorded change
# arrives in order.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_mqtt_backlog COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/mqtt_backlog.py
                                             $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_mqtt_backlog PROPERTIES TIMEOUT 150)
endif()

# The audit record: a write and a command from every face, accepted and
# refused, each once in GET /api/audit (the --audit file, then the history
# database); a mosquitto broker on a free port for the MQTT row.
if(NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  add_test(NAME devgate_audit COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/audit_check.py $<TARGET_FILE:devgate>)
  set_tests_properties(devgate_audit PROPERTIES TIMEOUT 120)
endif()
