# Every Windows test binary runs under Wine in a throwaway prefix inside the
# build folder, never in the user's own ~/.wine. One fixture prepares the
# prefix and keeps a wineserver alive for the run; another stops it.
set(WINE_TEST_PREFIX "${CMAKE_BINARY_DIR}/wineprefix")
# The prefix's system cabinet.dll is the strict test library
# (testing/strict_cabinet); the prefix's own overrides give every process
# Wine's library unless its WINEDLLOVERRIDES say otherwise, as those of
# add_wine_test(... STRICT_CABINET) do.
# The test binaries find what the build made for them below STUB_TEST_ROOT
# (the build folder here, the bundle's folder when the bundle runs), and the
# small volume that runs full through STUB_TEST_FULL_VOLUME: no host path is
# compiled into them.
string(REPLACE "/" "\\" WINE_TEST_ROOT "Z:${CMAKE_BINARY_DIR}")
set(WINE_TEST_ENVIRONMENT
  "WINEPREFIX=${WINE_TEST_PREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "STUB_TEST_ROOT=${WINE_TEST_ROOT}"
  "STUB_TEST_FULL_VOLUME=${WINE_TEST_ROOT}\\full_volume"
)

add_test(NAME wine_prefix_start
  COMMAND ${CMAKE_COMMAND} -E env ${WINE_TEST_ENVIRONMENT}
          sh "${PROJECT_SOURCE_DIR}/scripts/wine-prefix" start
          "$<TARGET_FILE:strict_cabinet>")
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)

add_test(NAME wine_prefix_stop
  COMMAND ${CMAKE_COMMAND} -E env ${WINE_TEST_ENVIRONMENT}
          sh "${PROJECT_SOURCE_DIR}/scripts/wine-prefix" stop)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)

# add_wine_test(NAME TARGET [ARGS arg...] [LOCKS resource...]
#               [ENVIRONMENT VAR=value...] [STRICT_CABINET])
# LOCKS names shared state (for example the fixed registry keys that the stub
# reads) so that ctest never runs two binaries that touch it at once.
# ENVIRONMENT adds to the test prefix's variables or replaces them. Wine
# takes WINEDLLOVERRIDES from the host environment a process starts with,
# so this is the way to set it for a test and every program it starts.
# STRICT_CABINET runs the test with the strict cabinet library, and sets
# STRICT_CABINET_EXPECTED=1 to tell the tests so.
function(add_wine_test name target)
  cmake_parse_arguments(ARG "STRICT_CABINET" "" "ARGS;LOCKS;ENVIRONMENT"
    ${ARGN})
  add_test(NAME ${name} COMMAND ${target} ${ARG_ARGS})
  set(extra ${ARG_ENVIRONMENT})
  if(ARG_STRICT_CABINET)
    # The prefix exists by now, so Mono and Gecko need no more refusing.
    list(APPEND extra "WINEDLLOVERRIDES=cabinet=n" "STRICT_CABINET_EXPECTED=1")
  endif()
  set(environment)
  foreach(variable IN LISTS WINE_TEST_ENVIRONMENT)
    string(REGEX REPLACE "=.*" "" variable_name "${variable}")
    if(NOT extra MATCHES "(^|;)${variable_name}=")
      list(APPEND environment "${variable}")
    endif()
  endforeach()
  list(APPEND environment ${extra})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${environment}"
    FIXTURES_REQUIRED wine_prefix)
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
  # A Windows test binary also runs from the test bundle, but for a run
  # under the strict cabinet double or with Wine's own library overrides:
  # those stand in for what Windows' own libraries do, which the plain run
  # meets on Windows, and Wine takes overrides only from the environment it
  # is started with, never from a Windows parent's.
  if(TARGET ${target} AND NOT ARG_STRICT_CABINET AND
     NOT ARG_ENVIRONMENT MATCHES "WINEDLLOVERRIDES")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(JOIN ARG_ARGS " " arguments)
      list(JOIN extra "&" bundle_environment)
      set_property(GLOBAL APPEND PROPERTY TEST_BUNDLE_RUNS
        "${name}|$<PATH:RELATIVE_PATH,$<TARGET_FILE:${target}>,${CMAKE_BINARY_DIR}>|${arguments}|${bundle_environment}")
      set_property(GLOBAL APPEND PROPERTY TEST_BUNDLE_FILES
        "$<TARGET_FILE:${target}>")
      set_property(GLOBAL APPEND PROPERTY TEST_BUNDLE_TARGETS ${target})
    endif()
  endif()
endfunction()

# add_bundle_files(file...): build outputs that the test binaries read, to
# go into the test bundle at their place below the build folder.
function(add_bundle_files)
  set_property(GLOBAL APPEND PROPERTY TEST_BUNDLE_FILES ${ARGN})
endfunction()
