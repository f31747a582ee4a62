# The interpreter with recording stand-ins for the engine and the agent.
kova_add_test(interp_test PORTABLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/interp_test.cpp
          ${PROJECT_SOURCE_DIR}/host/interp.cpp
  LIBS kova_common kova_platform)
target_include_directories(interp_test PRIVATE
  ${PROJECT_SOURCE_DIR}/host ${PROJECT_SOURCE_DIR}/wol ${PROJECT_SOURCE_DIR}/agent)
