// File and folder operations over the runtime library's file services. Each
// reports success as a boolean and none throws for a file-system failure.
#pragma once

#include <string>
#include <vector>

bool is_existing_folder(const std::string& path);
bool is_existing_file(const std::string& path);

bool make_folder(const std::string& path);
bool remove_folder(const std::string& path, bool recursive);

bool remove_file(const std::string& path);
bool rename_file(const std::string& old_path, const std::string& new_path);
// Gives the file a second name, new_path, on the same volume; false where
// the file system has no such names.
bool link_file(const std::string& path, const std::string& new_path);
// Both paths name one and the same file (one has the other's second name).
bool is_same_file(const std::string& path, const std::string& other_path);
// Moves source over an existing target, which is gone once this succeeds.
bool replace_file(const std::string& source, const std::string& target);
// Writes size bytes from data as the whole file and flushes them to the disk;
// false unless every byte made it.
bool write_whole_file(const std::string& path, const char* data, std::size_t size);
// The whole file's bytes in contents; false for a file that cannot be read
// to its end or held in memory.
bool read_whole_file(const std::string& path, std::string& contents);
bool copy_file_contents(const std::string& source, const std::string& target);
bool relocate_file(const std::string& source, const std::string& target);
// True when the file could be renamed now: no program holds it open in a way
// that forbids it.
bool is_file_movable(const std::string& path);
bool set_file_mode(const std::string& path, int mode);
bool is_read_only_file(const std::string& path);

std::vector<std::string> list_folder_entries(const std::string& folder, const std::string& pattern,
                                             bool want_folders, bool want_files);
std::vector<std::string> list_subfolders(const std::string& folder);
std::vector<std::string> list_plain_files(const std::string& folder);
