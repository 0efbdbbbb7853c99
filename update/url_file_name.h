// The name under which a listed file is staged and installed: the last
// segment of its URL's path, percent-decoded, in code page 1250, the code
// page of the program's file names.
#pragma once

#include <string>

// The segment after the last '/' of object_path with every "%HH" decoded.
// Decoded bytes that form UTF-8 are converted to code page 1250; other bytes
// are taken as code page 1250 already, as a name always was. False, name
// untouched, for a '%' without two hex digits after it and for UTF-8 with a
// character that code page 1250 cannot write. The staged-name rules
// (is_safe_file_name) are applied to the result apart.
bool file_name_from_url_path(const std::string& object_path, std::string& name);
