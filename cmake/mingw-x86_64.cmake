# Cross compilation for 64-bit Windows. Only the tests use it: on machines that cannot run 32-bit
# programs, the Windows programs' x86_64 twins run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# liblzma, built by tools/setup-debian.sh, lives in a prefix of its own.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 /opt/packrig-mingw/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
