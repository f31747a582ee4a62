# Wakes that overlap on one machine: WAKE requests side by side, and a
# wakelan run beside them, all sending from UDP port 13992.  The case of a
# hundred requests at once checks answers on a healthy host, not speed
# under the sanitizers on two cores: it runs in the plain Debug build only.
kova_add_test(concurrent_wake_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/concurrent_wake_test.cpp
  DEPENDS kova32ex kovacon wakelan
  LOCKS udp13992)
if(NOT KOVA_SANITIZE AND CMAKE_BUILD_TYPE STREQUAL "Debug")
  target_compile_definitions(concurrent_wake_test PRIVATE KOVA_HUNDRED_WAKES=1)
endif()
