# wakelan as a process: arguments, address files, the frames it sends on
# loopback, and real broadcast between two network namespaces; beside it
# kova32ex for what both must agree on.  Every run sends from UDP port
# 13992.
if(NOT WIN32)
  kova_add_test(wakelan_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/wakelan_test.cpp
    LOCKS udp13992)
  add_dependencies(wakelan_test wakelan kova32ex kovacon)
endif()
