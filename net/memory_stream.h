// The growable in-memory byte buffer that a transfer appends a body to.
#pragma once

#include <vector>

using MemoryStream = std::vector<char>;
