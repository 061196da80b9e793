# Shared by the MinGW-w64 toolchain files: set KORRIN_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KORRIN_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KORRIN_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${KORRIN_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORRIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static, so korrin.exe needs no MinGW runtime DLLs beside it (it imports
# only what every Windows has), and stripped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
