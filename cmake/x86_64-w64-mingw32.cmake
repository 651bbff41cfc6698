# Cross build for 64-bit Windows with Debian's MinGW-w64 (the -posix compilers: GoogleTest
# needs std::thread and std::mutex, which the win32-thread ones lack), run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The test programs carry their runtime (libstdc++, libgcc, winpthread), so wine needs no DLL
# search path into the cross toolchain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
