// A working folder as the installation tests compare it: every file's bytes
// and every folder, read with plain Win32 and stream calls, independent of
// the code under test.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

using Folder = std::map<std::string, std::string>;

const char folder_mark[] = "<folder>";

inline std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Every file (path -> bytes) and folder (path -> folder_mark) below folder.
inline void snapshot(const std::string& folder, const std::string& prefix, Folder& found)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            found[prefix + name + "\\"] = folder_mark;
            snapshot(folder + "\\" + name, prefix + name + "\\", found);
        } else {
            found[prefix + name] = read_file(folder + "\\" + name);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

// The current folder.
inline Folder snapshot()
{
    Folder found;
    snapshot(".", "", found);
    return found;
}

