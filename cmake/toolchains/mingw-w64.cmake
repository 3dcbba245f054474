# Shared part of the mingw-w64 toolchain files: Debian's cross compilers in
# their -posix flavour (whose C++ library has std::thread and std::mutex),
# with the C and C++ runtimes and winpthread linked statically, so that a
# program or DLL needs nothing beside it on Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VOSTREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOSTREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VOSTREL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VOSTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
# Header-only packages (CLI11, nlohmann-json) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(_vostrel_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_vostrel_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_vostrel_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_vostrel_static}")
