#include "support/paths.h"

#include "support/characters.h"

#include <direct.h>

namespace {

const std::size_t current_folder_capacity = 260;

int drive_number(char letter)
{
    return to_upper_case(letter) - 'A' + 1;
}

// "X:" and "X:foo" are relative to the current folder of drive X; spelling
// that folder out at index 2 turns them into rooted paths.
void complete_drive_relative(std::string& text)
{
    char folder[current_folder_capacity];
    if (_getdcwd(drive_number(text[0]), folder, current_folder_capacity) == nullptr) {
        text.insert(2, "\\");
        return;
    }
    std::string inserted = std::string(folder).substr(2);
    if (inserted.empty() || !is_path_separator(inserted.back()))
        inserted += '\\';
    text.insert(2, inserted);
}

// A current folder on a network share has no drive letter; the drive then
// stays empty, so the composed path is rooted at that share like the input.
std::string current_drive()
{
    const int number = _getdrive();
    if (number < 1)
        return std::string();
    return std::string(1, static_cast<char>('A' + number - 1)) + ':';
}

std::size_t parse_root(std::string& text, parsed_path& path)
{
    std::size_t p = 0;
    if (text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':') {
        path.drive = text.substr(0, 2);
        p = 2;
        if (text.size() == 2 || !is_path_separator(text[2]))
            complete_drive_relative(text);
    } else if (text.size() >= 2 && is_path_separator(text[0]) && is_path_separator(text[1])) {
        p = 2;
        while (p < text.size() && !is_path_separator(text[p]))
            ++p;
        path.drive = text.substr(0, p);
    }
    if (p < text.size() && is_path_separator(text[p])) {
        path.relative = false;
        ++p;
        if (path.drive.empty())
            path.drive = current_drive();
    }
    return p;
}

// Every separator closes a component, so doubled separators give empty
// components; a trailing separator adds none.
void parse_components(const std::string& text, std::size_t p, parsed_path& path)
{
    std::size_t start = p;
    for (; p < text.size(); ++p) {
        if (is_path_separator(text[p])) {
            path.folders.push_back(text.substr(start, p - start));
            start = p + 1;
        }
    }
    if (start < text.size())
        path.folders.push_back(text.substr(start));
}

}  // namespace

bool is_path_separator(char c)
{
    return c == '\\' || c == '/';
}

bool parse_path(const std::string& text, parsed_path& path)
{
    path = parsed_path();
    std::string completed = text;
    const std::size_t p = parse_root(completed, path);
    parse_components(completed, p, path);
    return true;
}

std::string compose_path(const parsed_path& path)
{
    std::string text = path.drive;
    if (!path.relative)
        text += '\\';
    if (!path.folders.empty()) {
        for (std::size_t i = 0; i < path.folders.size(); ++i) {
            if (i > 0)
                text += '\\';
            text += path.folders[i];
        }
    } else if (path.relative) {
        text += '.';
    }
    if (!path.leaf_name.empty())
        text += '\\' + path.leaf_name;
    return text;
}

std::string join_folder_and_name(const std::string& folder, const std::string& name)
{
    if (folder.empty() || is_path_separator(folder.back()))
        return folder + name;
    return folder + '\\' + name;
}

std::string append_path_component(const std::string& path, const std::string& component)
{
    parsed_path parsed;
    parse_path(path, parsed);
    parsed.folders.push_back(component);
    return compose_path(parsed);
}
