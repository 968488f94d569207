# Cross build for 32-bit Windows (x86) with MinGW-w64, posix thread model.
# The exports are standard-call functions exported under their decorated
# names (_name@N); windows/brevant-x86.def lists them.
set(BREVANT_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
