#pragma once

// The folder in the working directory where downloaded files wait to be
// installed.
constexpr char staging_folder[] = "_update";
