# One list of tests for both systems. Each folder's CMakeLists.txt adds its
# test programs with carob_test(); the Linux build discovers their cases for
# CTest, the Windows build (mingw-w64, run under wine) makes the same
# program as win_NAME and runs it as one test. What cannot run on Windows
# says why, in the same call, and the reason is printed at configure time.
#
# carob_test(NAME
#   SOURCES file...                  the test's sources
#   LIBS target...                   what it links beside GoogleTest
#   [DEPENDS target...]              programs it starts (added when they exist)
#   [DEFS definition...]             compile definitions beside CAROB_BIN_DIR
#                                    and CAROB_SOURCE_DIR
#   [TIMEOUT seconds]                each case's deadline on Linux (default 120)
#   [PREFIX text]                    a prefix for the discovered cases' names
#   [SERIAL]                         the cases run one at a time
#   [LINUX_ONLY reason]              the whole program stays out of Windows
#   [WINDOWS_LEAVES_OUT file reason ...]   sources left out on Windows
#   [WINDOWS_SKIP pattern reason ...])     cases left out on Windows
include_guard(GLOBAL)

function(carob_windows_leaves_out what why)
  message(STATUS "Windows suite leaves out ${what}: ${why}")
endfunction()

# What a test program is compiled with beside the build's own flags. The
# code under test is built as the build type says, in its libraries; the
# test code itself is compiled lightly (-O1: a third less compile time than
# -O3, and the tests run as fast), and every test program reuses one
# precompiled header of GoogleTest and the standard library (carob_test_pch,
# in tests/CMakeLists.txt; on Windows it holds posix_compat.h too).
function(carob_test_compile_options target)
  target_compile_options(${target} PRIVATE -O1)
  # At -O1 GCC 12 reports false out-of-bounds copies inside std::string
  # where a list of joined strings is made (its bug 105329 again), as
  # array bounds or, without the sanitizers' instrumentation, as overflows.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-stringop-overflow)
  endif()
  if(TARGET carob_test_pch)
    target_precompile_headers(${target} REUSE_FROM carob_test_pch)
    # A header that cannot be used is said, not silently compiled again.
    target_compile_options(${target} PRIVATE -Winvalid-pch)
  endif()
endfunction()

function(carob_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERIAL" "TIMEOUT;PREFIX;LINUX_ONLY"
                        "SOURCES;LIBS;DEPENDS;DEFS;WINDOWS_LEAVES_OUT;WINDOWS_SKIP")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  set(sources ${arg_SOURCES})
  set(program ${name})
  if(WIN32)
    if(arg_LINUX_ONLY)
      carob_windows_leaves_out(${name} "${arg_LINUX_ONLY}")
      return()
    endif()
    set(left ${arg_WINDOWS_LEAVES_OUT})
    while(left)
      list(POP_FRONT left file why)
      carob_windows_leaves_out("${name} ${file}" "${why}")
      list(REMOVE_ITEM sources ${file})
    endwhile()
    set(program win_${name})
  endif()

  add_executable(${program} ${sources})
  target_include_directories(${program} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${program} PRIVATE ${CAROB_TEST_DEFS} ${arg_DEFS})
  carob_test_compile_options(${program})
  foreach(dep ${arg_DEPENDS})
    if(TARGET ${dep})
      add_dependencies(${program} ${dep})
    endif()
  endforeach()

  if(NOT WIN32)
    target_link_libraries(${program} PRIVATE ${arg_LIBS} GTest::gmock GTest::gtest_main)
    set(props TIMEOUT ${arg_TIMEOUT})
    if(arg_SERIAL)
      list(APPEND props RUN_SERIAL TRUE)
    endif()
    set(prefix)
    if(arg_PREFIX)
      set(prefix TEST_PREFIX ${arg_PREFIX})
    endif()
    gtest_discover_tests(${program} DISCOVERY_TIMEOUT 60 ${prefix} PROPERTIES ${props})
    return()
  endif()

  # Windows: the few POSIX calls the tests make about their own set-up are
  # done the Windows way (posix_compat.h, in the precompiled header); one
  # program is one test. The tests use the real drives, so each runs in a
  # wine prefix no other test uses at the time (carob_wine_test).
  target_link_libraries(${program} PRIVATE ${arg_LIBS} gmock gtest_main)
  set(filter)
  set(skip ${arg_WINDOWS_SKIP})
  while(skip)
    list(POP_FRONT skip pattern why)
    carob_windows_leaves_out(${pattern} "${why}")
    list(APPEND filter ${pattern})
  endwhile()
  if(filter)
    list(JOIN filter ":" filter)
    carob_wine_test(${program} ${program} --gtest_filter=-${filter})
  else()
    carob_wine_test(${program} ${program})
  endif()
  set_property(GLOBAL APPEND PROPERTY CAROB_WIN_TESTS ${program})
endfunction()

# A Windows test NAME that runs PROGRAM (a target) under wine with the
# arguments after it (a first argument --display gives it the window
# test's display): each test takes one of CTest's "wine" slots, a wine
# prefix of its own (tests/windows/wine_slot.sh).
function(carob_wine_test name program)
  set(args ${ARGN})
  set(display)
  if(args AND "${ARGV2}" STREQUAL "--display")
    list(POP_FRONT args display)
  endif()
  add_test(NAME ${name}
    COMMAND sh ${CMAKE_SOURCE_DIR}/tests/windows/wine_slot.sh ${display}
            $<TARGET_FILE:${program}> ${args})
  set_tests_properties(${name} PROPERTIES RESOURCE_GROUPS wine:1 TIMEOUT 900)
endfunction()

# A helper program a test starts (a writer, a probe): built for both systems.
function(carob_test_program name)
  add_executable(${name} ${ARGN})
  if(WIN32)
    target_compile_options(${name} PRIVATE -include ${CMAKE_SOURCE_DIR}/tests/windows/posix_compat.h)
  endif()
endfunction()
