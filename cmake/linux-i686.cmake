# Cross-builds for 32-bit x86 Linux with Debian's g++-i686-linux-gnu; runs under qemu, since an
# x86-64 kernel need not run 32-bit programs (a virtual machine's often does not).
set(SKRIVEL_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SKRIVEL_EMULATOR qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
