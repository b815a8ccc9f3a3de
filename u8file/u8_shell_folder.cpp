// A shell folder's path in UTF-8.

#include <windows.h>
#include <shlobj.h>

#include "u8file/u8_path.h"
#include "u8file/u8file.h"

void u8_special_folder(int csidl, char* output, int output_size) {
  if (output == nullptr || output_size <= 0) return;
  output[0] = 0;
  U8WideBuffer folder;
  for (wchar_t& unit : folder.text) unit = 0;
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder.text))) return;
  folder.text[U8_WIDE_CAPACITY - 1] = 0;
  // A conversion that does not fit may leave a cut, unterminated text: empty it.
  if (WideCharToMultiByte(CP_UTF8, 0, folder.text, -1, output, output_size, nullptr, nullptr) == 0) {
    output[0] = 0;
  }
}
