kova_add_fuzzer(fuzz_interp SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_interp.cpp LIBS kova_host)
