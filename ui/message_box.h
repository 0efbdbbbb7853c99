#pragma once

#include <windows.h>

// A message box with the program's caption; returns the button pressed.
int show_message(HWND owner, const char* text, UINT style);
