#pragma once

#include <string>

// True when name can be staged as "_update\" + name without leaving the
// staging folder and without Windows altering or reinterpreting it.
bool is_safe_file_name(const std::string& name);
