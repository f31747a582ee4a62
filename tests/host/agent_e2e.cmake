# NUMPACKAGES, REBOOTSYS and POWERDOWNSYS through the console driver, with
# the substitute agent tools on PATH.
kova_add_test(agent_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/agent_e2e_test.cpp
  DEPENDS kova32ex kovacon skwsyscmd skwseccmd)
