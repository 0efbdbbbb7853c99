#include "ui/message_box.h"

#include "ui/texts.h"

int show_message(HWND owner, const char* text, UINT style)
{
    return MessageBoxA(owner, text, text_caption, style);
}
