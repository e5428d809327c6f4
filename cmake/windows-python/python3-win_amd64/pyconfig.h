/* The configuration header of Python 3 on 64-bit Windows, as an extension module compiled by
 * mingw-w64 against the stable ABI sees it: what the interpreter's headers (those of 3.7, the
 * oldest the module serves) ask of pyconfig.h, with the values of the interpreters installed
 * there (python3.dll, which forwards to python3X.dll). It stands beside a copy of the
 * interpreter's headers (cmake/WindowsPython.cmake), in place of the Linux one that came with
 * them.
 *
 * Only what changes a declaration or a layout the module can see is set; the interpreter's build
 * options that concern its own sources (HAVE_* of the C library and so on) are not. */

#ifndef Py_CONFIG_H
#define Py_CONFIG_H

/* The interpreter is a DLL: its functions and data are imported, the module's initialisation
 * function is exported (PyAPI_FUNC, PyAPI_DATA, PyMODINIT_FUNC in pyport.h). */
#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: int and long of 4 bytes, pointers, size_t and Py_ssize_t (pyport.h takes it from the
 * pointer size) of 8. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define HAVE_LONG_LONG 1

/* wchar_t holds UTF-16 code units (unicodeobject.h needs its size). */
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1

/* The interpreter's small-object allocator, as in its release build (objimpl.h). */
#define WITH_PYMALLOC 1

#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1

#endif /* Py_CONFIG_H */
