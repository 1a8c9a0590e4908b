# Shared by the toolchains that use Debian's GNU cross compilers: the
# toolchain file sets CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR, `triple` and,
# where the compiler's name has one, `suffix`, then includes this file.
# Libraries, headers and packages are looked for in the target's sysroot only.
set(CMAKE_C_COMPILER ${triple}-gcc${suffix})
set(CMAKE_CXX_COMPILER ${triple}-g++${suffix})

set(sysroot /usr/${triple})
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linux test programs run under qemu-user for the processor, with the
# target's libraries from the cross toolchain's sysroot.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_program(QUORVEL_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_QEMU} -L ${sysroot})
endif()
