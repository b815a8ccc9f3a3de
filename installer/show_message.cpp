// The one place where the installer shows anything: a message box captioned "Orvinta
// Install" with one of the three texts, and no owner window and no icon. A text too long
// for its buffer is shown cut at a character boundary, never written past it.

#include "installer/show_message.h"

#include <windows.h>

void show_message(InstallMessage message, const char* path) {
  MessageText text;
  install_compose_message(message, path, text);  // a cut text is still shown
  MessageBoxA(nullptr, text.text, INSTALL_CAPTION, MB_OK);
}
