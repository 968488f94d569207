# Cross build for 64-bit Windows (x86-64) with MinGW-w64, posix thread model.
set(BREVANT_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
