# Cross-builds with Zig's C++ toolchain (clang and libc++, with the system headers and libraries
# of macOS and Windows), for the systems Debian has no cross compiler for. The preset gives
# SKRIVEL_ZIG_TARGET (Zig's name of the system: aarch64-macos, x86_64-macos, aarch64-windows-gnu)
# and SKRIVEL_ZIG, the zig program (scripts/test-systems installs it under build/zig).
if(SKRIVEL_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
elseif(SKRIVEL_ZIG_TARGET MATCHES "windows")
  set(CMAKE_SYSTEM_NAME Windows)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${SKRIVEL_ZIG_TARGET}")
if(CMAKE_SYSTEM_NAME STREQUAL Windows)
  # Zig has no resource compiler: LLVM's, where the system has it, for the same processor and
  # with the Windows headers Zig brings.
  find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-16 llvm-windres-15 llvm-windres-14)
  get_filename_component(zig_dir "${SKRIVEL_ZIG}" DIRECTORY)
  set(CMAKE_RC_FLAGS_INIT
      "--target=${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32 -I${zig_dir}/lib/libc/include/any-windows-any")
endif()

# CMake takes a compiler as one program: a script that hands zig its target, and leaves out the
# -Wl,-v that CMake's look at the compiler gives, which Zig's linkers do not take.
set(wrapper "${CMAKE_BINARY_DIR}/zig-c++")
file(WRITE "${wrapper}" "#!/bin/sh
for argument; do shift; [ \"$argument\" = -Wl,-v ] || set -- \"$@\" \"$argument\"; done
exec '${SKRIVEL_ZIG}' c++ -target ${SKRIVEL_ZIG_TARGET} \"$@\"
")
file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CXX_COMPILER "${wrapper}")
foreach(tool ar ranlib)
  set(wrapper "${CMAKE_BINARY_DIR}/zig-${tool}")
  file(WRITE "${wrapper}" "#!/bin/sh\nexec '${SKRIVEL_ZIG}' ${tool} \"$@\"\n")
  file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  string(TOUPPER ${tool} TOOL)
  set(CMAKE_${TOOL} "${wrapper}" CACHE FILEPATH "" FORCE)
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
