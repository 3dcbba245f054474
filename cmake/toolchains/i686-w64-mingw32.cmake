# 32-bit Windows (the build classic hosts such as VB6 and 32-bit Office load).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VOSTREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
