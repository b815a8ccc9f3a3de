// A shell folder's path in UTF-8.

#include <windows.h>
#include <shlobj.h>

#include "u8file/u8_path.h"
#include "u8file/u8file.h"

void u8_special_folder(int csidl, char* output, int output_size) {
  if (output == nullptr || output_size <= 0) return;
  output[0] = 0;
  // The shell writes at most MAX_PATH units, far less than the buffer holds.
  U8WideBuffer folder;
  const bool known = bs_fill(folder, [csidl](wchar_t* text, std::size_t) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, text));
  });
  if (!known) return;
  // A conversion that does not fit may leave a cut, unterminated text: empty it.
  if (WideCharToMultiByte(CP_UTF8, 0, folder.text, -1, output, output_size, nullptr, nullptr) == 0) {
    output[0] = 0;
  }
}
