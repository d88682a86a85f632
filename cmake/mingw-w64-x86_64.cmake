# Cross-builds the Windows DLLs with Debian's MinGW-w64 (the -posix compilers: the -win32 ones have
# no std::thread) and runs the results under wine. QUILLMETRICS_WINDOWS_DEPS names the prefix with
# the cross-built oneTBB and GoogleTest; it goes into the find root, since a plain prefix path would
# be re-rooted.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(QUILLMETRICS_WINDOWS_DEPS "$ENV{QUILLMETRICS_WINDOWS_DEPS}" CACHE PATH "cross-built dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QUILLMETRICS_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
