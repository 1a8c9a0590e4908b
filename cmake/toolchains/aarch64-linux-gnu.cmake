# Cross build for 64-bit Arm Linux with glibc (the manylinux aarch64 wheels)
# with Debian's cross compiler (g++-aarch64-linux-gnu); test programs run
# under qemu-user (qemu-aarch64), with the target's libraries from the cross
# toolchain's sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

find_program(QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64} -L ${sysroot})
