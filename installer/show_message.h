#pragma once
// Shows one of the installer's messages in a message box and waits until it is dismissed.

#include "install_core/install_messages.h"

void show_message(InstallMessage message, const char* path);
