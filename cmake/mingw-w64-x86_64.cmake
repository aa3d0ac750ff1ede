# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain (the
# variant with POSIX threads, which std::thread and std::mutex need).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# scripts/build.sh --windows does this. The programs are linked statically
# (the C++ runtime and winpthreads included), so carob.exe and orb.exe are
# all a Windows computer needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CAROB_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${CAROB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CAROB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CAROB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CAROB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test runners cross-built here run under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
