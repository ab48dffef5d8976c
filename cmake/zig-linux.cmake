# Linux build with Zig's clang against an old glibc, for wheels that install on older systems.
#
# Zig links against stub libraries that carry exactly the symbol versions of the glibc named in
# ZELTO_ZIG_TARGET (x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17), so the binaries need no newer
# glibc than that, whatever the build machine has. It compiles and links its own libc++
# statically; the unwinder is the system's libgcc_s (CMakeLists.txt says why): the binaries need
# glibc and libgcc_s.so.1 and nothing else.
#
# ZELTO_SYSROOT holds the only headers besides Zig's own that the compiler may see: Asio's and
# CPython's (with a pyconfig.h for the target), copied from the build machine's packages. The
# machine's /usr/include is never searched: its glibc headers are newer than the target's.
set(CMAKE_SYSTEM_NAME Linux)

set(ZELTO_ZIG "" CACHE FILEPATH "The zig executable (from the ziglang package)")
set(ZELTO_ZIG_TARGET "" CACHE STRING "Zig's target: ARCH-linux-gnu.GLIBC_VERSION")
set(ZELTO_SYSROOT "" CACHE PATH "Headers staged for this build")
# try_compile projects configure with this file again: hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELTO_ZIG ZELTO_ZIG_TARGET ZELTO_SYSROOT)
if(NOT ZELTO_ZIG OR NOT ZELTO_ZIG_TARGET)
  message(FATAL_ERROR "set ZELTO_ZIG and ZELTO_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${ZELTO_ZIG_TARGET}")

# The compiler is `zig cc`/`zig c++` with the target as a mandatory argument; an explicit target
# also means the baseline instruction set of the architecture, never the build machine's. So is
# optimisation (a build type adds its own options after these): Zig builds the C++ runtime in
# the mode of the link that first needs it, and CMake's identification of the compiler links a
# program before any build type applies. Optimised from the start, every link of a build shares
# one runtime, which the Makefile builds ahead for both targets at once. Zig keeps debug
# information unless told otherwise: a wheel's binaries go without it (-g0) and stripped (-s).
set(ZELTO_ZIG_MODE -O3 -g0 -s)
set(CMAKE_C_COMPILER "${ZELTO_ZIG}" cc -target ${ZELTO_ZIG_TARGET} ${ZELTO_ZIG_MODE})
set(CMAKE_CXX_COMPILER "${ZELTO_ZIG}" c++ -target ${ZELTO_ZIG_TARGET} ${ZELTO_ZIG_MODE})
# CMake's checks compile without linking: a link in Debug would make Zig build a second C++
# runtime for the target, in Debug, which the Release build never uses.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The code uses no C++20 modules: without this, CMake would scan every source for them with a
# clang-scan-deps that Zig does not ship.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# Asio 1.22 (Debian 12's) was written against libstdc++ and an older clang: it enables co_await
# for clang only with the Coroutines TS header, which libc++ has dropped for <coroutine>, and it
# names std::nested_exception and std::terminate having included only headers that bring
# <exception> along in libstdc++. Both are said here, for this compiler and library only.
set(CMAKE_CXX_FLAGS_INIT "-DASIO_HAS_CO_AWAIT=1 -DASIO_HAS_STD_COROUTINE=1 -include exception")
# Archives through Zig's own ar, which indexes objects of any target (the machine's binutils may
# not know the target's object format).
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${ZELTO_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${ZELTO_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${ZELTO_ZIG}\" ranlib <TARGET>")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${ZELTO_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build directory holds the stub libgcc_s.so.1 the binaries link against: no run path may
# lead there, so they load the system's.
set(CMAKE_SKIP_BUILD_RPATH ON)
