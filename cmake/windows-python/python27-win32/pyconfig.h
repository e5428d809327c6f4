/* The configuration header of Python 2.7 on 32-bit Windows, as an extension module compiled by
 * mingw-w64 sees it: what the interpreter's own headers ask of pyconfig.h, with the values of the
 * interpreter installed there (python27.dll). It stands beside a copy of the interpreter's
 * headers (cmake/WindowsPython.cmake), in place of the Linux one that came with them.
 *
 * Only what changes a declaration or a layout the module can see is set; the interpreter's build
 * options that concern its own sources (HAVE_* of the C library and so on) are not. */

#ifndef Py_CONFIG_H
#define Py_CONFIG_H

/* The interpreter is a DLL: its functions and data are imported, the module's initialisation
 * function is exported (PyAPI_FUNC, PyAPI_DATA, PyMODINIT_FUNC in pyport.h). */
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* ILP32: int, long and pointers of 4 bytes. Py_ssize_t is an int (pyport.h takes it from the
 * pointer size), as in the interpreter. time_t is 64 bits in its C runtime (msvcr90) and in
 * mingw-w64's. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

/* Unicode objects hold UTF-16 code units in wchar_t: the interpreter's functions carry the
 * PyUnicodeUCS2_ names (unicodeobject.h). */
#define Py_USING_UNICODE
#define Py_UNICODE_SIZE 2
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1

/* The interpreter's small-object allocator, as in its release build (objimpl.h). */
#define WITH_PYMALLOC 1

#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1

#endif /* Py_CONFIG_H */
