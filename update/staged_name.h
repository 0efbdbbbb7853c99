#pragma once

#include <string>

// True when name can be staged as "_update\" + name without leaving the
// staging folder and without Windows altering or reinterpreting it.
bool is_safe_file_name(const std::string& name);

// True when every path the download and the installation form for name
// (its staged copy, its installed file, the journal and the old copies
// aside beside them, the longest of which a journal of the most files
// can name) stays within the platform's path limit when resolved against
// folder, the full path of the working directory.
bool fits_path_limit(const std::string& folder, const std::string& name);
// The same, against the current working directory.
bool fits_path_limit(const std::string& name);
