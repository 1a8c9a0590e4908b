# Rules for the macOS cross build with zig, read after CMake's own for
# Darwin (aarch64-macos.cmake names this file). zig's Mach-O linker crashes
# on -bundle, the kind of file CMake makes of a module: the module is linked
# as a shared library (-dynamiclib) instead, which CPython loads the same way
# (dlopen).
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-dynamiclib -Wl,-headerpad_max_install_names")
