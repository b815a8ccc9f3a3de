# Cross build for 32-bit Windows with the MinGW-w64 i686 compilers (threads model "posix"):
# the product.
set(ORVINTA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ORVINTA_MINGW_BITS 32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
