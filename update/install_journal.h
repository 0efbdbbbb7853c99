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

enum class JournalState { absent, damaged, valid };

std::string journal_text(const std::vector<JournalEntry>& entries);
// True only for a complete journal of safe, distinct names; entries then
// holds them, in the order of the installation.
bool parse_journal(const std::string& text, std::vector<JournalEntry>& entries);

// True once the journal is written and flushed to the disk.
bool write_journal(const std::vector<JournalEntry>& entries);
JournalState read_journal(std::vector<JournalEntry>& entries);
