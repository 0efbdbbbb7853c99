// The installation's journal: which files one installation replaces, written
// and flushed before the first installed file is touched, so that a later
// start can settle an installation that was cut short.
#pragma once

#include <string>
#include <vector>

struct JournalEntry {
    std::string name;      // installed as name, staged as "_update\" + name
    bool had_old = false;  // an installed file of this name is moved aside
};

// Where the old copies wait: a journal of the first layout keeps every one
// straight in the aside folder, the current one in its sub-folders.
enum class AsideLayout { flat, grouped };

struct Journal {
    AsideLayout layout = AsideLayout::grouped;
    std::vector<JournalEntry> entries;
};

enum class JournalState { absent, damaged, valid };

// Always of the current layout.
std::string journal_text(const std::vector<JournalEntry>& entries);
// True only for a complete journal of either layout and of safe, distinct
// names; journal then holds them, in the order of the installation.
bool parse_journal(const std::string& text, Journal& journal);

// True once the journal is written and flushed to the disk.
bool write_journal(const std::vector<JournalEntry>& entries);
JournalState read_journal(Journal& journal);
