#pragma once

// The one place that includes the interpreter's headers, so that every file
// of the module sees the same configuration (the stable ABI of CPython 3.12).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
