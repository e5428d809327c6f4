# The Windows legs of the Linux build: the same source tree built twice more, with Debian's
# mingw-w64 cross compilers, as separate CMake builds inside this one (ExternalProject):
#   build/windows64   x86_64-w64-mingw32; its tests run under Wine (64-bit) as part of this
#                     build's CTest run, named win64.* and labelled "windows";
#   build/windows32   i686-w64-mingw32; compiled and linked only (no 32-bit Wine here).
# What the Windows builds contain is decided by the top-level CMakeLists.txt (everything but
# the Linux modules, the Python tests, the benchmarks and the fuzz targets); a library or test
# folder added there is built for Windows too. The Wine prefix lives in build/wine/prefix. Each
# leg gets a static libsodium made from Debian's source package (cmake/WindowsSodium.cmake),
# built before it, and with it builds the module for its Windows Python
# (cmake/WindowsPython.cmake): windows32 for Python 2.7, windows64 for Python 3.
#
# build/dist/ holds what a Windows user copies into site-packages, without debug information:
#   python27-win32/quillane_native.pyd       32-bit Python 2.7
#   python3-win_amd64/quillane_native.pyd    64-bit Python 3.7 and later (the stable ABI)
#   python3-win_amd64/quillane_native.pyi    the module's type stubs
# The test windows.dist reads their import and export tables (tests/native/windows_dist.py).
#
# Off with -DQN_WINDOWS_LEGS=OFF (the sanitizer and fuzz builds turn them off).
include(ExternalProject)

find_program(QN_MINGW64_CXX x86_64-w64-mingw32-g++-posix)
find_program(QN_MINGW32_CXX i686-w64-mingw32-g++-posix)
find_program(QN_WINE NAMES wine64 PATHS /usr/lib/wine)
# The 64-bit binutils read and write 32-bit PE files too.
find_program(QN_MINGW_STRIP x86_64-w64-mingw32-strip)
find_program(QN_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
foreach(tool QN_MINGW64_CXX QN_MINGW32_CXX QN_WINE QN_MINGW_STRIP QN_MINGW_OBJDUMP)
  if(NOT ${tool})
    message(FATAL_ERROR
      "The Windows legs need Debian's g++-mingw-w64-x86-64-posix, g++-mingw-w64-i686-posix and "
      "wine64 (scripts/install-deps.sh installs them); ${tool} was not found. "
      "Or configure with -DQN_WINDOWS_LEGS=OFF.")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/WindowsSodium.cmake)

set(QN_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine/prefix")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine/run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

# qn_add_windows_leg(<name> <triplet> <cmake args>...)
function(qn_add_windows_leg name triplet)
  qn_add_windows_sodium(${triplet})
  ExternalProject_Add(${name}
    DEPENDS sodium_${triplet}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-${triplet}.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DQN_WERROR=${QN_WERROR}
      -DQN_SODIUM_ROOT=${QN_SODIUM_DIR}/${triplet}
      ${ARGN}
    INSTALL_COMMAND ""
    # The build tool decides what is out of date, as in any build.
    BUILD_ALWAYS ON
    LOG_CONFIGURE ON
    LOG_OUTPUT_ON_FAILURE ON)
endfunction()

# The interpreter headers of each leg's module: the 2.7 leg takes the Linux 2.7 module's; the
# 64-bit leg finds 3.7's itself unless -DQN_WINDOWS_PYTHON3_HEADERS=<dir> names others.
set(_qn_python3_headers "")
if(QN_WINDOWS_PYTHON3_HEADERS)
  set(_qn_python3_headers -DQN_WINDOWS_PYTHON_HEADERS=${QN_WINDOWS_PYTHON3_HEADERS})
endif()
qn_add_windows_leg(windows64 x86_64-w64-mingw32
  -DCMAKE_CROSSCOMPILING_EMULATOR=${CMAKE_BINARY_DIR}/wine/run
  -DQN_TEST_PREFIX=win64.
  -DQN_TEST_LABELS=windows
  ${_qn_python3_headers})
qn_add_windows_leg(windows32 i686-w64-mingw32 -DQN_RUN_TESTS=OFF
  -DQN_WINDOWS_PYTHON_HEADERS=${QN_PYTHON2_INCLUDE})

set(QN_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
add_custom_target(windows_dist ALL
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QN_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QN_DIST_DIR}/python27-win32
          ${QN_DIST_DIR}/python3-win_amd64
  COMMAND ${QN_MINGW_STRIP} --strip-all -o ${QN_DIST_DIR}/python27-win32/quillane_native.pyd
          ${CMAKE_BINARY_DIR}/windows32/python2/quillane_native.pyd
  COMMAND ${QN_MINGW_STRIP} --strip-all -o ${QN_DIST_DIR}/python3-win_amd64/quillane_native.pyd
          ${CMAKE_BINARY_DIR}/windows64/python3/quillane_native.pyd
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/native/quillane_native.pyi
          ${QN_DIST_DIR}/python3-win_amd64/
  COMMENT "The Windows module in ${QN_DIST_DIR}")
add_dependencies(windows_dist windows32 windows64)
if(BUILD_TESTING)
  add_test(NAME windows.dist
           COMMAND ${QN_PYTHON3} ${PROJECT_SOURCE_DIR}/tests/native/windows_dist.py
                   ${QN_DIST_DIR} ${QN_MINGW_OBJDUMP} ${PROJECT_SOURCE_DIR})
  set_tests_properties(windows.dist PROPERTIES LABELS windows)
endif()

# The 64-bit build's tests join this build's CTest run.
file(WRITE ${CMAKE_BINARY_DIR}/windows64-tests.cmake
     "subdirs(\"${CMAKE_BINARY_DIR}/windows64\")\n")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES
             ${CMAKE_BINARY_DIR}/windows64-tests.cmake)
