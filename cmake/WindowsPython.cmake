# The interpreter of the Windows module, made in the Windows build from what this machine has
# (no Windows Python can be had here). A 32-bit build makes the module for Python 2.7
# (initquillane_native, importing from python27.dll); a 64-bit build makes it for Python 3's
# stable ABI as of 3.7 (PyInit_quillane_native, Py_LIMITED_API=0x03070000, importing from
# python3.dll): one file for every Python 3 from 3.7 on.
#
#   headers         the headers of the interpreter of that version on this machine (pyenv's 2.7
#                   and 3.7; 3.7 being the oldest Python 3 served, nothing newer can slip in),
#                   copied into <build>/windows-python/include/ without their Linux pyconfig.h,
#                   beside our own cmake/windows-python/<tag>/pyconfig.h
#   import library  <build>/windows-python/lib<dll>.a, made by the toolchain's dlltool from
#                   cmake/windows-python/<tag>/<dll>.def, which names exactly the interpreter's
#                   functions and data the module uses (the test of build/dist/ compares it with
#                   the import table of the .pyd)
#
# <tag> names the interpreter and platform as the wheel tags do: python27-win32,
# python3-win_amd64; build/dist/ uses the same names. Sets QN_PYTHON_MAJORS, QN_WINDOWS_PYTHON_TAG
# and QN_PYTHON<major>_INCLUDE, and defines qn_add_python_extension with the signature of the
# Linux one (cmake/Pythons.cmake). The headers may be given: -DQN_WINDOWS_PYTHON_HEADERS=<dir>.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_qn_major 2)
  set(_qn_version 2.7)
  set(_qn_header_globs "versions/2.7*/include/python2.7/Python.h")
  set(QN_WINDOWS_PYTHON_TAG python27-win32)
  set(_qn_dll python27)
  set(QN_WINDOWS_PYTHON_DEFINITIONS "")
else()
  set(_qn_major 3)
  set(_qn_version 3.7)
  set(_qn_header_globs "versions/3.7*/include/python3.7m/Python.h"
                       "versions/3.7*/include/python3.7/Python.h")
  set(QN_WINDOWS_PYTHON_TAG python3-win_amd64)
  set(_qn_dll python3)
  set(QN_WINDOWS_PYTHON_DEFINITIONS Py_LIMITED_API=0x03070000)
endif()
set(_qn_source ${CMAKE_CURRENT_LIST_DIR}/windows-python/${QN_WINDOWS_PYTHON_TAG})
set(_qn_out ${CMAKE_BINARY_DIR}/windows-python)

if(NOT QN_WINDOWS_PYTHON_HEADERS)
  foreach(root "$ENV{PYENV_ROOT}" "$ENV{HOME}/.pyenv" "/root/.pyenv" "/opt/pyenv")
    foreach(pattern ${_qn_header_globs})
      if(root AND NOT QN_WINDOWS_PYTHON_HEADERS)
        file(GLOB _qn_found "${root}/${pattern}")
        if(_qn_found)
          list(SORT _qn_found)
          list(GET _qn_found -1 _qn_found)
          get_filename_component(_qn_found "${_qn_found}" DIRECTORY)
          set(QN_WINDOWS_PYTHON_HEADERS "${_qn_found}" CACHE PATH
              "The headers of Python ${_qn_version} for the Windows module")
        endif()
      endif()
    endforeach()
  endforeach()
  # Without pyenv's 3.7, a newer Python 3's headers serve: Py_LIMITED_API hides what 3.7's
  # stable ABI lacks, and the definition file's list stops the link at anything else.
  if(NOT QN_WINDOWS_PYTHON_HEADERS AND _qn_major EQUAL 3)
    file(GLOB _qn_found "/usr/include/python3.*/Python.h")
    if(_qn_found)
      list(GET _qn_found 0 _qn_found)
      get_filename_component(_qn_found "${_qn_found}" DIRECTORY)
      set(QN_WINDOWS_PYTHON_HEADERS "${_qn_found}" CACHE PATH
          "The headers of Python ${_qn_version} for the Windows module")
    endif()
  endif()
endif()
if(NOT QN_WINDOWS_PYTHON_HEADERS OR NOT EXISTS "${QN_WINDOWS_PYTHON_HEADERS}/Python.h")
  message(FATAL_ERROR
    "The Windows module needs the headers of Python ${_qn_version} (looked for pyenv's "
    "${_qn_header_globs}): pass -DQN_WINDOWS_PYTHON_HEADERS=<dir>, or -DQN_WINDOWS_MODULE=OFF.")
endif()
message(STATUS "Windows module: ${QN_WINDOWS_PYTHON_TAG}, headers of ${QN_WINDOWS_PYTHON_HEADERS}")

file(REMOVE_RECURSE ${_qn_out}/include)
file(COPY ${QN_WINDOWS_PYTHON_HEADERS}/ DESTINATION ${_qn_out}/include
     PATTERN pyconfig.h EXCLUDE)
configure_file(${_qn_source}/pyconfig.h ${_qn_out}/include/pyconfig.h COPYONLY)

if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "No dlltool for ${CMAKE_CXX_COMPILER}: the Windows module needs it.")
endif()
set(QN_WINDOWS_PYTHON_IMPORT_LIBRARY ${_qn_out}/lib${_qn_dll}.a)
add_custom_command(OUTPUT ${QN_WINDOWS_PYTHON_IMPORT_LIBRARY}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${_qn_source}/${_qn_dll}.def
          --dllname ${_qn_dll}.dll --output-lib ${QN_WINDOWS_PYTHON_IMPORT_LIBRARY}
  DEPENDS ${_qn_source}/${_qn_dll}.def
  COMMENT "Import library of ${_qn_dll}.dll")
add_custom_target(windows_python_import_library DEPENDS ${QN_WINDOWS_PYTHON_IMPORT_LIBRARY})

set(QN_PYTHON_MAJORS ${_qn_major})
set(QN_PYTHON${_qn_major}_INCLUDE ${_qn_out}/include)

# qn_add_python_extension(<target> <module name> <major> <include dir> <sources>...)
# <module name>.pyd in build/python<major>/. It imports only from the interpreter's DLL and from
# Windows' own DLLs: the C++ runtime, libgcc and the threads library are linked in, so the file
# works wherever it is copied. Its one export is the initialisation function (PyMODINIT_FUNC
# exports it; nothing else is marked for export, and nothing of the static libraries is).
function(qn_add_python_extension target module major include_dir)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${module}
    PREFIX ""
    SUFFIX ".pyd"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/python${major}")
  # The interpreter's headers are not ours to keep warning-free.
  target_include_directories(${target} SYSTEM PRIVATE "${include_dir}")
  target_compile_definitions(${target} PRIVATE ${QN_WINDOWS_PYTHON_DEFINITIONS})
  add_dependencies(${target} windows_python_import_library)
  target_link_libraries(${target} PRIVATE ${QN_WINDOWS_PYTHON_IMPORT_LIBRARY})
  target_link_options(${target} PRIVATE -static -Wl,--exclude-libs,ALL)
endfunction()
