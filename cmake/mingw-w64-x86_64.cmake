# Cross-compiles for 64-bit Windows with Debian's mingw-w64 and runs what it
# builds under Wine. The -posix variants are used because GoogleTest needs
# std::mutex, which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
# The -gcc- wrappers index the intermediate code in the stub's libraries.
set(CMAKE_AR ${MINGW_TRIPLET}-gcc-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian's wine wrapper falls back to wine64 when no 32-bit Wine is present.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
