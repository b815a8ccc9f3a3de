#include "installer/show_message.h"

#include <windows.h>

void show_message(InstallMessage message, const char* path) {
  MessageText text;
  install_compose_message(message, path, text);  // a cut text is still shown
  MessageBoxA(nullptr, text.text, INSTALL_CAPTION, MB_OK);
}
