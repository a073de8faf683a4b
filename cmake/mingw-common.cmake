# Cross-build for Windows with MinGW-w64, for the triplet KIV_MINGW_TRIPLET that the toolchain
# file including this one sets. The POSIX-threads flavour of the compiler is used so that the
# tools and tests can use the standard thread library; the driver itself uses native Win32
# threads through its platform layer, and everything is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KIV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_TRIPLET}-windres)
set(KIV_DLLTOOL ${KIV_MINGW_TRIPLET}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
