#pragma once

#include <cstddef>

// The folder in the working directory where downloaded files wait to be
// installed.
constexpr char staging_folder[] = "_update";
// Beside it, the lock file a run holds (app/installation_lock.h). It exists
// only while a run holds it, or after a power cut until the next run takes
// it over.
constexpr char installation_lock_file[] = "_update.lock";
// Beside them, in a program built with a root key set, the key statements it
// accepted after the one it is built with, and the name the file is written
// under before it is renamed over the old one.
constexpr char key_statement_file[] = "_update.keys";
constexpr char key_statement_aside[] = "_update.keys.new";

// Inside the staging folder: the installation's journal and the installed
// files it moved aside, each named by its place in the journal.
constexpr char aside_folder[] = "_update\\~install";
constexpr char journal_file[] = "_update\\~install\\journal";

// The files a journal can name at most (its count has six digits).
constexpr std::size_t most_journal_entries = 999999;
// Old copies aside are grouped in sub-folders of the aside folder:
// "<group>\<place>", and "<group>\<place>-moved" for one that had to leave
// its place. Wine proves a name absent only by reading its whole folder,
// and every copy put aside is such a name.
constexpr std::size_t aside_group_size = 64;
constexpr char moved_suffix[] = "-moved";
