# The layer's pipes and child processes, against the test child program.
if(NOT WIN32)
  kova_add_test(process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_test.cpp
    LIBS kova_platform
    DEPENDS rtpchild)
  target_compile_definitions(process_test PRIVATE RTPCHILD_BIN="$<TARGET_FILE:rtpchild>")
endif()
