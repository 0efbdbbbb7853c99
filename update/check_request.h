// The check's request names the installed version in its query, and a
// reply's signature covers the same text, so that a reply signed for one
// version is no answer for another.
#pragma once

#include <cstdint>
#include <string>

// "wersja=<version>", the version in decimal.
std::string version_query(std::int32_t version);
// The object path of the check request for version.
std::string check_path(std::int32_t version);
// What the release key signs ahead of a reply's body:
// "produkt=<product>\nwersja=<version>\n".
std::string signed_prefix(const char* product, std::int32_t version);
// The object path of key statement serial on the update server: a static
// file, never changed once published.
std::string statement_path(std::uint32_t serial);
