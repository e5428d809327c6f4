# The test framework and the registration of C++ tests with CTest.
#
# GoogleTest: Debian's build (find_package) on Linux; in a Windows build, compiled here from the
# sources that Debian's googletest package installs, with the cross compiler. Either way the
# targets are GTest::gtest and GTest::gtest_main.
#
# Registration, for every C++ test program and test command:
#   qn_add_gtest(<target> <prefix> [TIMEOUT <s>])  each GoogleTest test a CTest test
#                                                  <prefix><Suite>.<Test>, each run in a process
#                                                  of its own (which fails after <s> seconds)
#   qn_add_test(<name> <command> [<arg>...])    one command; <command> may be a target
# Both put QN_TEST_PREFIX before the name and give the tests the labels in QN_TEST_LABELS (the
# Windows legs set "win64." and "windows"). When QN_RUN_TESTS is off (a build whose programs
# cannot run here, as 32-bit Windows) the programs are built and nothing is registered. In a
# Windows build the programs run under CMAKE_CROSSCOMPILING_EMULATOR (Wine), which CMake puts
# before every command that names a target.
set(QN_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
option(QN_RUN_TESTS "Register the C++ tests with CTest (off: build them only)" ON)
set(QN_TEST_PREFIX "" CACHE STRING "Prefix of every CTest test name")
set(QN_TEST_LABELS "" CACHE STRING "Labels of every C++ test")

if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS "${QN_GOOGLETEST_SOURCE_DIR}/googletest/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest sources in ${QN_GOOGLETEST_SOURCE_DIR}: install googletest "
                        "(scripts/install-deps.sh does) or pass -DQN_GOOGLETEST_SOURCE_DIR=...")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QN_GOOGLETEST_SOURCE_DIR}/googletest ${CMAKE_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL)
  # GoogleTest keeps its own warning flags; the project's are not its to satisfy.
  set_target_properties(gtest gtest_main PROPERTIES COMPILE_OPTIONS "")
  if(NOT TARGET GTest::gtest) # GoogleTest 1.12 defines these names itself
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Under Wine a program starts in about a second, more on a busy machine; the first start of
# all also makes the Wine prefix.
if(CMAKE_CROSSCOMPILING)
  set(QN_DISCOVERY_TIMEOUT 600)
else()
  set(QN_DISCOVERY_TIMEOUT 60)
endif()

function(qn_add_gtest target prefix)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "TIMEOUT" "")
  if(NOT QN_RUN_TESTS)
    return()
  endif()
  set(properties "")
  if(QN_TEST_LABELS)
    list(APPEND properties LABELS "${QN_TEST_LABELS}")
  endif()
  if(arg_TIMEOUT)
    list(APPEND properties TIMEOUT ${arg_TIMEOUT})
  endif()
  if(QN_TSAN_OPTIONS)
    list(APPEND properties ENVIRONMENT "TSAN_OPTIONS=${QN_TSAN_OPTIONS}")
  endif()
  if(properties)
    set(properties PROPERTIES ${properties})
  endif()
  gtest_discover_tests(${target} TEST_PREFIX "${QN_TEST_PREFIX}${prefix}"
                       DISCOVERY_TIMEOUT ${QN_DISCOVERY_TIMEOUT} ${properties})
endfunction()

function(qn_add_test name)
  if(NOT QN_RUN_TESTS)
    return()
  endif()
  add_test(NAME ${QN_TEST_PREFIX}${name} COMMAND ${ARGN})
  if(QN_TEST_LABELS)
    set_tests_properties(${QN_TEST_PREFIX}${name} PROPERTIES LABELS "${QN_TEST_LABELS}")
  endif()
endfunction()
