// Path parsing and composition. Both '\' and '/' separate components;
// composed paths use '\'.
#pragma once

#include <string>
#include <vector>

struct parsed_path {
    bool relative = true;
    std::string drive;                 // "C:", "\\server", or empty
    std::vector<std::string> folders;  // components after the root, as written
    std::string leaf_name;             // added as a last component when not empty
};

bool is_path_separator(char c);
bool parse_path(const std::string& text, parsed_path& path);
std::string compose_path(const parsed_path& path);
std::string join_folder_and_name(const std::string& folder, const std::string& name);
std::string append_path_component(const std::string& path, const std::string& component);
