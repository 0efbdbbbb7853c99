#include "update/staged_name.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "support/characters.h"
#include "update/staging_folder.h"

namespace {

bool is_forbidden_character(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || std::string("\\/:*?\"<>|").find(c) != std::string::npos;
}

std::string upper_case(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), to_upper_case);
    return text;
}

// Windows opens a device for these names, with or without an extension.
bool is_device_name(const std::string& name)
{
    std::string stem = upper_case(name.substr(0, name.find('.')));
    stem.erase(stem.find_last_not_of(' ') + 1);
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(std::begin(devices), std::end(devices), stem) != std::end(devices))
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// The longest path the installation forms inside the staging folder: an old
// copy moved aside at the last place a journal can name, which is longer
// than the journal's own path.
std::size_t longest_aside_path()
{
    const std::size_t last = most_journal_entries - 1;
    return std::strlen(aside_folder) + 1 + std::to_string(last / aside_group_size).size() + 1 +
           std::to_string(last).size() + std::strlen(moved_suffix);
}

// The installation's own names: the staging folder, the lock file and the
// kept key statements in the working folder, and the folder of old copies
// inside the staging folder. A file of any of them could be neither staged
// nor installed.
bool is_installation_name(const std::string& name)
{
    const std::string aside_name = std::string(aside_folder).substr(std::strlen(staging_folder) + 1);
    std::string upper = upper_case(name);
    return upper == upper_case(staging_folder) || upper == upper_case(installation_lock_file) ||
           upper == upper_case(key_statement_file) || upper == upper_case(key_statement_aside) ||
           upper == upper_case(aside_name);
}

}  // namespace

bool is_safe_file_name(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    if (std::any_of(name.begin(), name.end(), is_forbidden_character))
        return false;
    // Windows drops a trailing dot or space, so "menu.exe." would be "menu.exe".
    if (name.back() == '.' || name.back() == ' ')
        return false;
    return !is_device_name(name) && !is_installation_name(name);
}

bool fits_path_limit(const std::string& folder, const std::string& name)
{
    // The ANSI file calls take at most MAX_PATH characters with the
    // terminating null; a relative name is resolved to folder + "\" + name.
    // Counted: the staged copy and the longest old copy aside (the installed
    // file, "<folder>\<name>", is shorter than the staged one).
    std::size_t prefix = folder.size() + (folder.empty() || folder.back() == '\\' ? 0 : 1);
    std::size_t staged = std::strlen(staging_folder) + 1 + name.size();
    std::size_t longest = prefix + std::max(staged, longest_aside_path());
    return longest < MAX_PATH;
}

bool fits_path_limit(const std::string& name)
{
    char folder[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(MAX_PATH, folder);
    return length > 0 && length < MAX_PATH && fits_path_limit(std::string(folder, length), name);
}
