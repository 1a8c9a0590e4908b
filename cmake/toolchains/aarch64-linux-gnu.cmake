# Cross build for 64-bit Arm Linux with glibc (the manylinux aarch64 wheels)
# with Debian's cross compiler (g++-aarch64-linux-gnu); test programs run
# under qemu-user (qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
