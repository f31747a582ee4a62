# The layer's named mutexes, across two processes (mutexchild).
if(NOT WIN32)
  kova_add_test(mutex_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mutex_test.cpp
    LIBS kova_platform
    DEPENDS mutexchild)
  target_compile_definitions(mutex_test PRIVATE MUTEXCHILD_BIN="$<TARGET_FILE:mutexchild>")
endif()
