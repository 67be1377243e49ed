# Cross-builds for IBM Z Linux, a big-endian machine, with Debian's g++-s390x-linux-gnu; runs
# under qemu.
set(SKRIVEL_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(SKRIVEL_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
