# IPX discovery's readers of received bytes (configuration-response walk,
# all-known-networks reply), fed from memory: no sockets involved.
if(NOT WIN32)
  kova_add_fuzzer(fuzz_ipx
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipx_fuzz.cpp
    LIBS wol_kova)
endif()
