# What the Linux cross-builds share; the file for each machine sets SKRIVEL_TRIPLE (Debian's
# name of its cross compiler, g++-<triple>), CMAKE_SYSTEM_PROCESSOR and, for a machine this one
# cannot run, SKRIVEL_EMULATOR (qemu-user's program for it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SKRIVEL_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${SKRIVEL_TRIPLE}-gcc)  # GoogleTest's project asks for C too
set(CMAKE_FIND_ROOT_PATH /usr/${SKRIVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program, the tests' too, is linked statically, so that it runs under qemu-user, or
# directly, with no libraries of its machine installed.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest (and GoogleTest's test discovery) run the test programs through the emulator.
if(SKRIVEL_EMULATOR)
  find_program(SKRIVEL_EMULATOR_PROGRAM ${SKRIVEL_EMULATOR} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SKRIVEL_EMULATOR_PROGRAM})
endif()
