# Locates the two interpreters the module is built for.
#   QN_PYTHON2: a Python 2.7 with its headers (pyenv's 2.7.x preferred, then python2.7 on PATH).
#   QN_PYTHON3: Debian's Python 3 (its python3-nacl serves the interoperability tests).
# Either can be given on the command line: -DQN_PYTHON2=/path/to/python2.7
# With QN_PYTHON_ONLY set to 2 or 3, only that interpreter is looked for (and needed).
# QN_PYTHON_MAJORS lists the major versions a module is built for.

if(QN_PYTHON_ONLY STREQUAL "")
  set(QN_PYTHON_MAJORS 2 3)
elseif(QN_PYTHON_ONLY STREQUAL "2" OR QN_PYTHON_ONLY STREQUAL "3")
  set(QN_PYTHON_MAJORS ${QN_PYTHON_ONLY})
else()
  message(FATAL_ERROR "QN_PYTHON_ONLY is '${QN_PYTHON_ONLY}': it must be empty, 2 or 3.")
endif()

function(qn_python_query exe code outvar)
  execute_process(COMMAND "${exe}" -c "${code}"
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0)
    set(${outvar} "${out}" PARENT_SCOPE)
  else()
    set(${outvar} "" PARENT_SCOPE)
  endif()
endfunction()

# ---- Python 2.7 ----
if("2" IN_LIST QN_PYTHON_MAJORS)
  if(NOT QN_PYTHON2)
    set(_candidates "")
    foreach(root "$ENV{PYENV_ROOT}" "$ENV{HOME}/.pyenv" "/root/.pyenv" "/opt/pyenv")
      if(root AND IS_DIRECTORY "${root}/versions")
        file(GLOB _found "${root}/versions/2.7*/bin/python2.7")
        list(SORT _found)
        list(REVERSE _found)
        list(APPEND _candidates ${_found})
      endif()
    endforeach()
    find_program(_py27_on_path NAMES python2.7 NO_CACHE)
    if(_py27_on_path)
      list(APPEND _candidates "${_py27_on_path}")
    endif()
    foreach(c ${_candidates})
      qn_python_query("${c}"
        "import sys,sysconfig,os;assert sys.version_info[:2]==(2,7);p=sysconfig.get_paths()['include'];assert os.path.exists(os.path.join(p,'Python.h'));print(p)"
        _inc)
      if(_inc)
        set(QN_PYTHON2 "${c}" CACHE FILEPATH "Python 2.7 interpreter with headers")
        break()
      endif()
    endforeach()
  endif()
  if(NOT QN_PYTHON2)
    message(FATAL_ERROR
      "No Python 2.7 with headers was found: the Python 2.7 module cannot be built.\n"
      "Looked for pyenv's versions/2.7*/bin/python2.7 and python2.7 on PATH, and for Python.h "
      "beside it. Install Python 2.7 (with its development headers) or pass -DQN_PYTHON2=/path/to/python2.7.")
  endif()
  qn_python_query("${QN_PYTHON2}" "import sysconfig;print(sysconfig.get_paths()['include'])" QN_PYTHON2_INCLUDE)
  if(NOT QN_PYTHON2_INCLUDE OR NOT EXISTS "${QN_PYTHON2_INCLUDE}/Python.h")
    message(FATAL_ERROR "${QN_PYTHON2} has no Python.h (looked in '${QN_PYTHON2_INCLUDE}'): install its development headers.")
  endif()
  message(STATUS "Python 2.7: ${QN_PYTHON2} (headers in ${QN_PYTHON2_INCLUDE})")
endif()

# ---- Python 3 ----
if("3" IN_LIST QN_PYTHON_MAJORS)
  if(NOT QN_PYTHON3)
    if(EXISTS /usr/bin/python3)
      set(QN_PYTHON3 /usr/bin/python3 CACHE FILEPATH "Python 3 interpreter with headers")
    else()
      find_program(QN_PYTHON3 NAMES python3)
    endif()
  endif()
  qn_python_query("${QN_PYTHON3}"
    "import sys,sysconfig,os;assert sys.version_info[0]==3;p=sysconfig.get_paths()['include'];assert os.path.exists(os.path.join(p,'Python.h'));print(p)"
    QN_PYTHON3_INCLUDE)
  if(NOT QN_PYTHON3_INCLUDE)
    message(FATAL_ERROR "No Python 3 with headers at '${QN_PYTHON3}': install python3-dev (scripts/install-deps.sh does).")
  endif()
  message(STATUS "Python 3: ${QN_PYTHON3} (headers in ${QN_PYTHON3_INCLUDE})")
endif()

# qn_add_python_extension(<target> <module name> <major> <include dir> <sources>...)
# A Python extension module built for one interpreter: <module name>.so in build/python<major>/,
# beside the real module so the build/pyN launchers and the Python tests find it. Only the
# module's initialisation function is exported; the interpreter's own symbols stay undefined
# and are resolved when the interpreter loads the module.
function(qn_add_python_extension target module major include_dir)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${module}
    PREFIX ""
    SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/python${major}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # The interpreter's headers are not ours to keep warning-free.
  target_include_directories(${target} SYSTEM PRIVATE "${include_dir}")
  # Nor are the static libraries linked in exported: another module in the process could
  # otherwise bind to (or interpose on) our support library's symbols.
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()
