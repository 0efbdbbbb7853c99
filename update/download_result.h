// What the download phase hands to the installation.
#pragma once

#include <string>
#include <vector>

// How the download of one file, or of all of them, ended.
enum class DownloadOutcome {
    done,
    cancelled,  // the user pressed Cancel
    failed,
};

struct DownloadResult {
    DownloadOutcome outcome = DownloadOutcome::failed;
    // When done: the names staged, in the order of the update list; the
    // installation installs these and nothing else. Otherwise none.
    std::vector<std::string> staged_names;
};
