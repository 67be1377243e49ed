# Cross-builds skrivel.exe for 32-bit Windows with Debian's g++-mingw-w64-i686.
set(SKRIVEL_MINGW i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/windows-cross.cmake)
