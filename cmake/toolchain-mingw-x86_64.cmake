# Cross build for 64-bit Windows with the MinGW-w64 x86_64 compilers (threads model "posix"):
# the same sources, to run the Windows tests under 64-bit Wine where 32-bit programs cannot run.
set(ORVINTA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ORVINTA_MINGW_BITS 64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
