/* CPython's build configuration as an extension module for 64-bit Windows sees it, for modules
   compiled against the limited API only (one module for every CPython since 3.11, linked against
   python3.dll). CPython's own pyconfig.h for Windows describes the interpreter's build for MSVC;
   an extension needs only the platform macros, the type sizes and the DLL linkage below. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h describes 64-bit Windows only"
#endif
#if !defined(Py_LIMITED_API)
#error "this pyconfig.h serves the limited API only: define Py_LIMITED_API"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter lives in a DLL: the API is imported (__declspec(dllimport)) and the module's
   PyInit_ function exported (__declspec(dllexport)), which also keeps every other symbol of the
   module out of its export table. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and size_t are 64; wchar_t is UTF-16. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1

#endif /* Py_CONFIG_H */
