# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads flavour, for std::thread and
# std::mutex). Used by the Windows build of tarnel and by scripts/build-vtk-windows.sh, so that VTK and tarnel
# are built by the same compiler with the same runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNEL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TARNEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
