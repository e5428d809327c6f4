# Platform files. Every folder with operating-system code keeps one file per facility and OS
# side by side (Platform_Thread_posix.cpp, Platform_Thread_win.cpp); the build takes the files
# of the OS it builds for and leaves the others out.
#   QN_PLATFORM: "win" when building for Windows, "posix" otherwise.
#   qn_platform_sources(<var> <glob>...): the files matching the globs (relative to the calling
#   folder), without those of the other OS (*_win.* on POSIX, *_posix.* on Windows).
if(WIN32)
  set(QN_PLATFORM win)
  set(_qn_other_platform posix)
else()
  set(QN_PLATFORM posix)
  set(_qn_other_platform win)
endif()

function(qn_platform_sources var)
  file(GLOB files CONFIGURE_DEPENDS ${ARGN})
  list(FILTER files EXCLUDE REGEX "_${_qn_other_platform}\\.[^/]*$")
  set(${var} ${files} PARENT_SCOPE)
endfunction()

# Windows 7 is the oldest Windows supported (condition variables, GetTickCount64,
# BCryptGenRandom with the system's preferred generator).
if(WIN32)
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
endif()
