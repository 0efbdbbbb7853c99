// printf-style formatting into a std::string, with escapes read from the
// format itself (a backslash followed by n appends a line feed, and so on).
#pragma once

#include <cstdarg>
#include <string>

std::string format_text(const char* format, ...);

// Appends to output; returns the number of characters appended. A format that
// ends inside a conversion appends that conversion's text as written ("abc%-5"
// gives "abc%-5").
int append_formatted(std::string& output, const char* format, va_list arguments);
