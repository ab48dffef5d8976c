# Cross build for 64-bit Windows with Debian's mingw-w64 g++ (posix threads, for std::thread).
#
# ZELTO_WINDOWS_SYSROOT is a folder of the build that holds the only headers and libraries the
# cross compiler may see besides mingw-w64's own: include/asio*, include/python3.X (with our
# pyconfig.h), python3.dll, and GoogleTest built for this target. Linux's /usr/include is never
# searched: its headers describe another system.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(ZELTO_WINDOWS_SYSROOT "" CACHE PATH "Headers and libraries staged for the Windows build")
# try_compile projects configure with this file again: hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELTO_WINDOWS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${ZELTO_WINDOWS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The binaries carry the C and C++ runtimes and winpthreads, so they need nothing beyond the
# system's DLLs (and python3.dll for the module): no mingw DLL has to travel with the wheel.
set(ZELTO_STATIC_RUNTIME "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZELTO_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZELTO_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZELTO_STATIC_RUNTIME}")
