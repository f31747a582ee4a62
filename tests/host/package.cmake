# The package layer over the real adapter, with the substitute agent tools.
kova_add_test(package_test PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/package_test.cpp
  LIBS kova_host
  DEPENDS skwsyscmd skwseccmd)
