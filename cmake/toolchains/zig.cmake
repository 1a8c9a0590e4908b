# Shared by the toolchains that cross-compile with zig (the PyPI package
# ziglang): the toolchain file sets CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR
# and `zig_target` and includes this one. zig is found on PATH or named by
# QUORVEL_ZIG (the cache variable or the environment variable). CMake takes
# each tool as one program, so it gets small scripts that call `zig cc`,
# `zig c++`, `zig ar` and `zig ranlib`, written into the build tree.
set(QUORVEL_ZIG "$ENV{QUORVEL_ZIG}" CACHE FILEPATH "The zig program")
if(NOT QUORVEL_ZIG)
  find_program(QUORVEL_ZIG zig REQUIRED)
endif()
# try_compile projects see the variable too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEL_ZIG)

set(zig_tools ${CMAKE_BINARY_DIR}/zig-tools)
foreach(tool cc c++ ar ranlib)
  file(CONFIGURE OUTPUT ${zig_tools}/${tool}
    CONTENT "#!/bin/sh\nexec \"${QUORVEL_ZIG}\" ${tool} \"$@\"\n" @ONLY)
  file(CHMOD ${zig_tools}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${zig_tools}/cc)
set(CMAKE_CXX_COMPILER ${zig_tools}/c++)
set(CMAKE_C_COMPILER_TARGET ${zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${zig_target})
set(CMAKE_AR ${zig_tools}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${zig_tools}/ranlib CACHE FILEPATH "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
