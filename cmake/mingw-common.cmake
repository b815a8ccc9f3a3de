# Settings shared by the two MinGW-w64 toolchains. The including toolchain file sets
# ORVINTA_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and ORVINTA_MINGW_BITS (32 or 64) first.
# Executables are linked statically so they need no MinGW DLLs beside them, and run under
# Wine through scripts/wine-run.sh when ctest (or cmake) needs to start them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ORVINTA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVINTA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVINTA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVINTA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows XP is the oldest system the product runs on: the headers offer nothing newer.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# find_package(ZLIB) would otherwise take the import library of zlib1.dll (test oracles).
set(ZLIB_USE_STATIC_LIBS ON)

get_filename_component(ORVINTA_TOOLCHAIN_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVINTA_TOOLCHAIN_ROOT}/scripts/wine-run.sh;--arch;${ORVINTA_MINGW_BITS}")
