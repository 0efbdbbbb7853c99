#include "update/install.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "support/files.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "update/install_steps.h"
#include "update/staged_name.h"
#include "update/staging_folder.h"

namespace {

const int writable_mode = 0222;

std::string staged_path(const JournalEntry& entry)
{
    return std::string(staging_folder) + "\\" + entry.name;
}

std::string aside_path(std::size_t i)
{
    return std::string(aside_folder) + "\\" + std::to_string(i);
}

bool is_entry_ready(const JournalEntry& entry)
{
    return fits_path_limit(entry.name) && is_existing_file(staged_path(entry)) &&
           is_file_movable(staged_path(entry)) && !is_existing_folder(entry.name) &&
           (!entry.had_old || is_file_movable(entry.name));
}

// Old copies may be read-only, which would keep them from being deleted.
void remove_old_copies()
{
    for (const std::string& name : list_plain_files(aside_folder)) {
        std::string path = std::string(aside_folder) + "\\" + name;
        set_file_mode(path, writable_mode);
        remove_file(path);
    }
    remove_folder(aside_folder, false);
}

}  // namespace

Installation::Installation(std::vector<JournalEntry> entries) : entries_(std::move(entries)) {}

bool Installation::targets_are_ready() const
{
    return std::all_of(entries_.begin(), entries_.end(), is_entry_ready);
}

bool Installation::start()
{
    remove_old_copies();
    if (!make_folder(aside_folder) || !write_journal(entries_))
        return false;
    step_taken();
    return true;
}

bool Installation::move_into_place()
{
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const JournalEntry& entry = entries_[i];
        const std::string staged = staged_path(entry);
        if (!is_existing_file(staged))
            continue;
        if (entry.had_old && is_existing_file(entry.name) && !is_existing_file(aside_path(i))) {
            if (!rename_file(entry.name, aside_path(i)))
                return false;
            step_taken();
        }
        if (!rename_file(staged, entry.name))
            return false;
        step_taken();
    }
    return true;
}

bool Installation::is_new_in_place(std::size_t i) const
{
    const JournalEntry& entry = entries_[i];
    return !is_existing_file(staged_path(entry)) && is_existing_file(entry.name) &&
           (!entry.had_old || is_existing_file(aside_path(i)));
}

bool Installation::has_every_new_copy() const
{
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!is_existing_file(staged_path(entries_[i])) && !is_new_in_place(i))
            return false;
    }
    return true;
}

bool Installation::put_back()
{
    bool all_back = true;
    for (std::size_t i = entries_.size(); i-- > 0;) {
        const JournalEntry& entry = entries_[i];
        if (is_new_in_place(i) && !rename_file(entry.name, staged_path(entry)))
            all_back = false;
        if (entry.had_old && is_existing_file(aside_path(i)) &&
            !rename_file(aside_path(i), entry.name))
            all_back = false;
    }
    return all_back;
}

void Installation::finish()
{
    // Without the journal nothing can be undone any more, and every new
    // copy is in place: what is left in the staging folder is old. While the
    // journal stays, so must the old copies it would be undone with.
    if (!remove_file(journal_file))
        return;
    step_taken();
    remove_old_copies();
    remove_folder(staging_folder, true);
    step_taken();
}

void Installation::discard()
{
    remove_file(journal_file);
    remove_folder(staging_folder, true);
}

std::vector<JournalEntry> plan_installation(const std::vector<std::string>& staged_names)
{
    std::vector<JournalEntry> entries;
    for (const std::string& name : staged_names) {
        auto same_name = [&name](const JournalEntry& entry) { return entry.name == name; };
        if (std::none_of(entries.begin(), entries.end(), same_name))
            entries.push_back({name, is_existing_file(name)});
    }
    return entries;
}

bool install_updates(const std::vector<std::string>& staged_names)
{
    Installation installation(plan_installation(staged_names));
    if (!installation.targets_are_ready() || !installation.start()) {
        remove_folder(staging_folder, true);
    } else if (installation.move_into_place()) {
        installation.finish();
        return true;
    } else if (installation.put_back()) {
        installation.discard();
    }
    // A file that could not be put back keeps the journal and the staging
    // folder, so that the next start settles the installation.
    show_message(nullptr, text_install_failed, MB_OK);
    return false;
}

void settle_interrupted_installation()
{
    std::vector<JournalEntry> entries;
    switch (read_journal(entries)) {
    case JournalState::absent:
        // What a finished installation could not delete: old copies that
        // were running images then.
        remove_old_copies();
        remove_folder(staging_folder, false);
        return;
    case JournalState::damaged:
        return;
    case JournalState::valid:
        break;
    }
    Installation installation(std::move(entries));
    if (installation.has_every_new_copy() && installation.move_into_place())
        installation.finish();
    else if (installation.put_back())
        installation.discard();
}
