# Cross build for macOS on Apple silicon (the macosx_arm64 wheels) with zig,
# which brings the macOS SDK's C headers and libc++ and a Mach-O linker.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
set(zig_target aarch64-macos.11.0-none)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
