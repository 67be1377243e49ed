# What the Windows cross-builds with Debian's MinGW-w64 share; the file for each processor sets
# SKRIVEL_MINGW (Debian's name of its compiler's target, <target>-g++) and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_CXX_COMPILER ${SKRIVEL_MINGW}-g++)
set(CMAKE_RC_COMPILER ${SKRIVEL_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SKRIVEL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
