# Cross build for 64-bit Windows (the win_amd64 wheels are built with MSVC;
# this proves the code with another Windows compiler and C library) with
# Debian's mingw-w64 cross compiler in its POSIX-threads flavour
# (g++-mingw-w64-x86-64-posix); test programs run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(triple x86_64-w64-mingw32)
set(suffix -posix)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

# The compiler's own runtime (libstdc++, libgcc, winpthreads) is linked in, as
# a wheel has no place for mingw's DLLs and wine finds none of them: the
# programs and the module then import only Windows' own DLLs (and python3.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Debian installs wine64 outside PATH.
find_program(QUORVEL_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_WINE})
