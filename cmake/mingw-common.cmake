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
# Every function and object gets a section of its own, so that the stub's link can drop
# whatever it does not reach (installer/CMakeLists.txt).
set(ORVINTA_MINGW_FLAGS "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -ffunction-sections -fdata-sections")
# Nothing throws (-fno-exceptions throughout), so the 32-bit product carries no unwind
# tables: they were a sixth of the stub. The x86-64 test build keeps its SEH unwind data,
# which that system's own exception dispatch walks.
if(ORVINTA_MINGW_BITS EQUAL 32)
  string(APPEND ORVINTA_MINGW_FLAGS " -fno-asynchronous-unwind-tables -fno-unwind-tables")
endif()
set(CMAKE_C_FLAGS_INIT "${ORVINTA_MINGW_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ORVINTA_MINGW_FLAGS}")
# The product is downloaded with every installer and spends its time in the decoder and
# the extraction loop, which keep -O2 in their own build files: everything else is built
# for size. (A cache entry: the compiler's own default for Release, -O3, is only the
# initial value of this entry, which the toolchain settles first.)
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "C flags of Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "C++ flags of Release builds")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# find_package(ZLIB) would otherwise take the import library of zlib1.dll (test oracles).
set(ZLIB_USE_STATIC_LIBS ON)

get_filename_component(ORVINTA_TOOLCHAIN_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVINTA_TOOLCHAIN_ROOT}/scripts/wine-run.sh;--arch;${ORVINTA_MINGW_BITS}")
