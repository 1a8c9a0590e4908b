/* pyconfig.h for compiling extension modules for 64-bit Windows against the
   limited API with mingw-w64: what CPython's headers need from it there.
   Windows' own CPython ships a pyconfig.h made for MSVC; scripts/portability puts
   this one beside a copy of this machine's CPython headers for the Windows
   cross build of the module. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 16

#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES 1
#define HAVE_DIRECT_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_DYNAMIC_LOADING 1
#define Py_WIN_WIDE_FILENAMES
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WORD_BIT 32
#define PY_SUPPORT_TIER 1

#endif
