# The front end and the UDP sender, in-process, against a loopback listener.
kova_add_test(udp_wake_test PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/udp_wake_test.cpp
  LIBS wol_kova
  LOCKS udp13992)
