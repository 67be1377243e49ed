# Cross-builds for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; runs under qemu.
set(SKRIVEL_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SKRIVEL_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
