# Cross build for macOS on Apple silicon (the macosx_arm64 wheels) with zig,
# which brings the macOS SDK's C headers and libc++ and a Mach-O linker.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
set(zig_target aarch64-macos.11.0-none)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)

# GoogleTest 1.12 uses FLT_MAX without including <cfloat>, which the macOS
# libc++ that zig brings does not include on its way, as other standard
# libraries do: it is included first in every C++ source.
set(CMAKE_CXX_FLAGS_INIT "-include cfloat")

# CMake insists on install_name_tool for Darwin, which zig does not bring.
# Only installing rewrites install names, and nothing here installs the
# Mach-O files: a stand-in that fails makes any use of it fail the build.
find_program(CMAKE_INSTALL_NAME_TOOL false REQUIRED)
