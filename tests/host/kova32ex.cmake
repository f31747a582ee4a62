# kova32ex as the console starts it: a process in a working directory.
kova_add_test(kova32ex_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kova32ex_process_test.cpp
  DEPENDS kova32ex kovacon udplisten
  LOCKS udp13992)
