# The child-process text pipe, against the test child program; rtpprobe
# runs what is per process (older platform, filler total, KOVA_FAIL).
if(NOT WIN32)
  kova_add_test(rtpopen_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/rtpopen_test.cpp
    LIBS kova_agent
    DEPENDS rtpchild rtpprobe)
  target_compile_definitions(rtpopen_test PRIVATE
    RTPCHILD_BIN="$<TARGET_FILE:rtpchild>"
    RTPPROBE_BIN="$<TARGET_FILE:rtpprobe>")
endif()
