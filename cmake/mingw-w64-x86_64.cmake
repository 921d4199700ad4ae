# Cross-compiles the command-line programs for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix). The posix thread model is the one whose std::thread and
# std::mutex work; the win32 model lacks them in GCC 12.
#
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DGATEWISE_BUILD_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GATEWISE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GATEWISE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GATEWISE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${GATEWISE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GATEWISE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe with no DLLs beside it: the C++ runtime, libgcc and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables run under wine on a Linux build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
