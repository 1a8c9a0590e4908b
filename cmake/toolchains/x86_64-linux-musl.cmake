# Cross build for x86_64 Linux with musl (the musllinux wheels) with zig,
# which brings musl and builds libc++ for it. The programs are statically
# linked and run on this machine as they are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
