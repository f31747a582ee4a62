# The adapter's inventory and credential calls, in-process, against the
# substitute agent tools; and its line scanners fed from tables.
kova_add_test(kovaskw_test PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kovaskw_test.cpp
  LIBS kova_agent
  DEPENDS skwsyscmd skwseccmd)
target_include_directories(kovaskw_test PRIVATE ${PROJECT_SOURCE_DIR}/agent)
