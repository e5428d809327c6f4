# The platform scheme. Every room with operating-system code keeps it in a platform/ folder, one
# facility per file set: Platform_<Facility>.h, Platform_<Facility>_posix.cpp and
# Platform_<Facility>_win.cpp. Each target lists its sources explicitly, the per-OS ones in
# <TARGET>_SOURCES_posix and <TARGET>_SOURCES_win, and takes those of QN_PLATFORM:
#   add_library(x STATIC ${X_SOURCES} ${X_SOURCES_${QN_PLATFORM}})
# QN_PLATFORM is "win" when building for Windows, "posix" otherwise.
if(WIN32)
  set(QN_PLATFORM win)
else()
  set(QN_PLATFORM posix)
endif()

# Windows 7 is the oldest Windows supported (condition variables, GetTickCount64,
# BCryptGenRandom with the system's preferred generator).
if(WIN32)
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
endif()
