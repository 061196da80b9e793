# korrin.exe for 32-bit Windows, the one users download: it also runs on
# every 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORRIN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
