# Cross build for s390x (big-endian) with Debian's cross compiler
# (g++-s390x-linux-gnu); test programs run under qemu-user (qemu-s390x).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)
