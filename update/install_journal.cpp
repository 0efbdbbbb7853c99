#include "update/install_journal.h"

#include <set>

#include "support/decimal_text.h"
#include "support/files.h"
#include "support/text_fields.h"
#include "update/staged_name.h"
#include "update/staging_folder.h"

namespace {

const char flat_first_line[] = "updater installation 1";
const char grouped_first_line[] = "updater installation 2";
const char last_line[] = "end";
// Far more than any update list holds; a longer file is not a journal.
const std::size_t largest_journal = 4u * 1024 * 1024;

// The count line: at most six digits, as many as most_journal_entries has.
bool read_count(const std::string& text, std::size_t& count)
{
    std::uint64_t value = 0;
    if (text.size() > 6 || !read_decimal(text, most_journal_entries, value))
        return false;
    count = static_cast<std::size_t>(value);
    return true;
}

// A journal an earlier version wrote before it was cut short is settled by
// this one, which may be its replacement, so both layouts are read.
bool parse_first_line(const std::string& line, AsideLayout& layout)
{
    if (line == flat_first_line)
        layout = AsideLayout::flat;
    else if (line == grouped_first_line)
        layout = AsideLayout::grouped;
    else
        return false;
    return true;
}

bool parse_entry(const std::string& line, JournalEntry& entry)
{
    if (line.size() < 3 || (line[0] != '0' && line[0] != '1') || line[1] != ' ')
        return false;
    entry.had_old = line[0] == '1';
    entry.name = line.substr(2);
    return is_safe_file_name(entry.name) && fits_path_limit(entry.name);
}

}  // namespace

std::string journal_text(const std::vector<JournalEntry>& entries)
{
    std::string text = std::string(grouped_first_line) + "\n" + std::to_string(entries.size()) + "\n";
    for (const JournalEntry& entry : entries)
        text += (entry.had_old ? "1 " : "0 ") + entry.name + "\n";
    return text + last_line + "\n";
}

bool parse_journal(const std::string& text, Journal& journal)
{
    // Written in one piece and ended by a newline: anything cut short lacks
    // the last line or its newline.
    std::vector<std::string> lines = split_text(text, "\n");
    if (lines.empty() || !lines.back().empty())
        return false;
    lines.pop_back();
    AsideLayout layout;
    std::size_t count = 0;
    if (lines.size() < 3 || !parse_first_line(lines.front(), layout) || lines.back() != last_line ||
        !read_count(lines[1], count) || count != lines.size() - 3)
        return false;
    std::vector<JournalEntry> parsed(lines.size() - 3);
    std::set<std::string> names;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (!parse_entry(lines[i + 2], parsed[i]) || !names.insert(parsed[i].name).second)
            return false;
    }
    journal.layout = layout;
    journal.entries = parsed;
    return true;
}

bool write_journal(const std::vector<JournalEntry>& entries)
{
    const std::string text = journal_text(entries);
    return write_whole_file(journal_file, text.data(), text.size());
}

JournalState read_journal(Journal& journal)
{
    if (!is_existing_file(journal_file))
        return JournalState::absent;
    std::string text;
    if (!read_whole_file(journal_file, text) || text.size() > largest_journal ||
        !parse_journal(text, journal))
        return JournalState::damaged;
    return JournalState::valid;
}
