# The same sources for 64-bit Windows: this build is the one run under
# wine by the program tests, since 32-bit Windows programs cannot run here.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORRIN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
