# Cross-build for 32-bit Windows (the driver as hosts load it), with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KIV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
