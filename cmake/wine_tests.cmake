# Every Windows test binary runs under Wine in a throwaway prefix inside the
# build folder, never in the user's own ~/.wine. One fixture prepares the
# prefix and keeps a wineserver alive for the run; another stops it.
set(WINE_TEST_PREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(WINE_TEST_ENVIRONMENT
  "WINEPREFIX=${WINE_TEST_PREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
)

add_test(NAME wine_prefix_start
  COMMAND ${CMAKE_COMMAND} -E env ${WINE_TEST_ENVIRONMENT}
          sh "${PROJECT_SOURCE_DIR}/scripts/wine-prefix" start)
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)

add_test(NAME wine_prefix_stop
  COMMAND ${CMAKE_COMMAND} -E env ${WINE_TEST_ENVIRONMENT}
          sh "${PROJECT_SOURCE_DIR}/scripts/wine-prefix" stop)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)

# add_wine_test(NAME TARGET [ARGS arg...] [LOCKS resource...])
# LOCKS names shared state (for example the fixed registry keys that the stub
# reads) so that ctest never runs two binaries that touch it at once.
function(add_wine_test name target)
  cmake_parse_arguments(ARG "" "" "ARGS;LOCKS" ${ARGN})
  add_test(NAME ${name} COMMAND ${target} ${ARG_ARGS})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${WINE_TEST_ENVIRONMENT}"
    FIXTURES_REQUIRED wine_prefix)
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()
