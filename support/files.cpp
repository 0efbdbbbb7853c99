#include "support/files.h"

#include "support/paths.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

namespace {

const char current_folder[] = ".";
const char parent_folder[] = "..";
const char match_all[] = "*";

// The status query runs on the composed path: backslashes only, no trailing
// separator, and "." for an empty path, which the runtime query accepts.
bool query_status(const std::string& path, struct _stat64& status)
{
    parsed_path parsed;
    parse_path(path, parsed);
    return _stat64(compose_path(parsed).c_str(), &status) == 0;
}

bool copy_stream(std::FILE* in, std::FILE* out)
{
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (std::fputc(c, out) == EOF)
            return false;
    }
    return !std::ferror(in);
}

}  // namespace

bool is_existing_folder(const std::string& path)
{
    struct _stat64 status;
    return query_status(path, status) && (status.st_mode & _S_IFDIR) != 0;
}

bool is_existing_file(const std::string& path)
{
    struct _stat64 status;
    return query_status(path, status) && (status.st_mode & _S_IFDIR) == 0;
}

bool make_folder(const std::string& path)
{
    return _mkdir(path.c_str()) == 0;
}

bool remove_folder(const std::string& path, bool recursive)
{
    const std::string folder = path.empty() ? current_folder : path;
    if (!is_existing_folder(folder))
        return false;
    bool result = true;
    if (recursive) {
        for (const std::string& name : list_subfolders(folder)) {
            if (!remove_folder(append_path_component(folder, name), true))
                result = false;
        }
        for (const std::string& name : list_plain_files(folder)) {
            const std::string file = join_folder_and_name(folder, name);
            if (!is_existing_file(file) || std::remove(file.c_str()) != 0)
                result = false;
        }
    }
    if (_rmdir(folder.c_str()) != 0)
        result = false;
    return result;
}

bool remove_file(const std::string& path)
{
    return is_existing_file(path) && std::remove(path.c_str()) == 0;
}

bool rename_file(const std::string& old_path, const std::string& new_path)
{
    return is_existing_file(old_path) && std::rename(old_path.c_str(), new_path.c_str()) == 0;
}

bool link_file(const std::string& path, const std::string& new_path)
{
    return CreateHardLinkA(new_path.c_str(), path.c_str(), nullptr) != 0;
}

namespace {

bool query_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& identity)
{
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, &identity) != 0;
    CloseHandle(file);
    return known;
}

}  // namespace

bool is_same_file(const std::string& path, const std::string& other_path)
{
    BY_HANDLE_FILE_INFORMATION one, other;
    return query_identity(path, one) && query_identity(other_path, other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// No copy fallback: a replacement is a rename or nothing.
bool replace_file(const std::string& source, const std::string& target)
{
    return MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool write_whole_file(const std::string& path, const char* data, std::size_t size)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0 &&
                   _commit(_fileno(file)) == 0;
    return std::fclose(file) == 0 && written;
}

bool read_whole_file(const std::string& path, std::string& contents)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    const long long length = _filelengthi64(_fileno(file));
    bool read = false;
    if (length >= 0 && static_cast<unsigned long long>(length) <= contents.max_size()) {
        try {
            contents.resize(static_cast<std::size_t>(length));
            read = std::fread(&contents[0], 1, contents.size(), file) == contents.size() &&
                   std::fgetc(file) == EOF && !std::ferror(file);
        } catch (const std::bad_alloc&) {
            contents.clear();
        }
    }
    std::fclose(file);
    return read;
}

// The source is opened first, so a source that cannot be read leaves an
// existing target as it was. A target not written completely is removed:
// what remains of it is neither the old file nor the copy.
bool copy_file_contents(const std::string& source, const std::string& target)
{
    if (!is_existing_file(source))
        return false;
    std::FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr)
        return false;
    std::FILE* out = std::fopen(target.c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    bool copied = copy_stream(in, out);
    std::fclose(in);
    if (std::fclose(out) != 0)
        copied = false;
    if (!copied)
        std::remove(target.c_str());
    return copied;
}

// The copy fallback covers what a rename cannot do (an existing target,
// another volume); if the source then stays, so that the file would exist
// twice, the copy is taken back.
bool relocate_file(const std::string& source, const std::string& target)
{
    if (rename_file(source, target))
        return true;
    if (!copy_file_contents(source, target))
        return false;
    if (remove_file(source))
        return true;
    remove_file(target);
    return false;
}

// A rename needs delete access; a program that opened the file without
// sharing delete access refuses it. A running image allows it.
bool is_file_movable(const std::string& path)
{
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// Only the owner-write bit (0200) matters: it decides the read-only attribute.
bool set_file_mode(const std::string& path, int mode)
{
    if (!is_existing_file(path))
        return false;
    const int permission = (mode & _S_IWRITE) ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return _chmod(path.c_str(), permission) == 0;
}

bool is_read_only_file(const std::string& path)
{
    struct _stat64 status;
    return query_status(path, status) && (status.st_mode & _S_IWRITE) == 0;
}

std::vector<std::string> list_folder_entries(const std::string& folder, const std::string& pattern,
                                             bool want_folders, bool want_files)
{
    std::vector<std::string> names;
    const std::string search =
        join_folder_and_name(folder.empty() ? current_folder : folder, pattern);
    struct _finddata_t entry;
    const intptr_t handle = _findfirst(search.c_str(), &entry);
    if (handle == -1)
        return names;
    do {
        const std::string name = entry.name;
        if (name == current_folder || name == parent_folder)
            continue;
        const bool is_folder = (entry.attrib & _A_SUBDIR) != 0;
        if (is_folder ? want_folders : want_files)
            names.push_back(name);
    } while (_findnext(handle, &entry) == 0);
    _findclose(handle);
    return names;
}

std::vector<std::string> list_subfolders(const std::string& folder)
{
    return list_folder_entries(folder, match_all, true, false);
}

std::vector<std::string> list_plain_files(const std::string& folder)
{
    return list_folder_entries(folder, match_all, false, true);
}
