# IPX and SPX over the layer's UDP tunnel, discovery against ipxd, the IPX
# sender in both builds, and kova32ex on a segment.  Every test uses a
# segment of its own (a UDP port it holds), so they run side by side.
if(NOT WIN32)
  set(KOVA_IPX_TEST_UTIL ${CMAKE_CURRENT_LIST_DIR}/ipxtest.cpp)

  kova_add_test(ipx_platform_test
    SOURCES ${PROJECT_SOURCE_DIR}/tests/platform/ipx_platform_test.cpp ${KOVA_IPX_TEST_UTIL}
    LIBS kova_platform)
  target_include_directories(ipx_platform_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})

  kova_add_test(ipx_discovery_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipx_discovery_test.cpp ${KOVA_IPX_TEST_UTIL}
    LIBS wol_kova)
  add_dependencies(ipx_discovery_test ipxd)

  kova_add_test(ipx_wakelan_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipx_wakelan_test.cpp ${KOVA_IPX_TEST_UTIL}
    LIBS wol_wakelan)
  add_dependencies(ipx_wakelan_test ipxd)

  # The UDP fallback binds port 13992.
  kova_add_test(ipx_process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipx_process_test.cpp ${KOVA_IPX_TEST_UTIL}
    LOCKS udp13992)
  add_dependencies(ipx_process_test ipxd kova32ex)
endif()
