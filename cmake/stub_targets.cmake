# How the stub's own code is compiled, and how a folder becomes a library and
# a test binary. The stub links no C or C++ runtime: no exceptions, no RTTI,
# no thread-safe statics (they would call the runtime's guard functions).
# It keeps what Windows expects of x64 code all the same: a function-table
# entry for every function (the unwind tables), without which an exception
# raised beneath one of its frames, in the cabinet library say, is walked
# through frames that are not on the stack; and a stack protector, whose
# guard and failure routine the image brings itself (stub/stack_guard.cc).
# The objects carry both machine code, which the test binaries link, and the
# compiler's intermediate form, from which the installer image is optimised
# as one program: that saves a tenth of its code.
set(STUB_CODE_OPTIONS
  -Wall -Wextra -Werror
  -fno-exceptions -fno-rtti
  -fasynchronous-unwind-tables
  -fno-threadsafe-statics -fstack-protector-strong
  -ffunction-sections -fdata-sections
  -flto -ffat-lto-objects
)
set(STUB_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

function(stub_code_options target)
  target_compile_options(${target} PRIVATE ${STUB_CODE_OPTIONS})
  target_compile_definitions(${target} PUBLIC ${STUB_DEFINITIONS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# stub_folder_library(NAME [EXCLUDE file...] [LINK target...])
# Every .cc of the calling folder except its *_test.cc files and EXCLUDE.
function(stub_folder_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cc")
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${excluded}")
  endforeach()
  if(NOT sources)
    # A folder of headers only.
    add_library(${name} INTERFACE)
    target_compile_definitions(${name} INTERFACE ${STUB_DEFINITIONS})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LINK})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  stub_code_options(${name})
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  set_property(GLOBAL APPEND PROPERTY STUB_LIBRARIES ${name})
endfunction()

# stub_folder_tests(NAME [LINK target...] [LOCKS resource...])
# One test binary made of every *_test.cc of the calling folder, run as one
# ctest entry so that Wine starts once for all of its cases.
function(stub_folder_tests name)
  cmake_parse_arguments(ARG "" "" "LINK;LOCKS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc")
  if(NOT tests)
    return()
  endif()
  add_executable(${name} ${tests})
  test_code_options(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} test_support GTest::gtest_main)
  add_wine_test(${name} ${name} LOCKS ${ARG_LOCKS})
endfunction()

# Test programs use the C++ runtime; they are linked statically so that Wine
# needs no mingw DLLs to start them.
function(test_code_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_definitions(${target} PRIVATE ${STUB_DEFINITIONS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  # No link time stamp: the stand-in setup, packed into the demo installer,
  # then builds to the same bytes every time.
  target_link_options(${target} PRIVATE -static -Wl,--no-insert-timestamp)
  # The stub's libraries check their stack guard; in a test program the
  # guard and its failure routine come from the compiler's own library.
  target_link_options(${target} PRIVATE -fstack-protector-strong)
endfunction()
