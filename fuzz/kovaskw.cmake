# The agent adapter's line scanners (system listing, attributes, credential
# listing, result line), fed from memory: no child process involved.
kova_add_fuzzer(fuzz_skwparse
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/skwparse_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/agent/skwparse.cpp
          ${PROJECT_SOURCE_DIR}/agent/macflip.cpp
  LIBS kova_common)
target_include_directories(fuzz_skwparse PRIVATE
  ${PROJECT_SOURCE_DIR}/agent ${PROJECT_SOURCE_DIR}/platform)
