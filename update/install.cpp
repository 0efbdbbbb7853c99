#include "update/install.h"

#include <windows.h>

#include <algorithm>
#include <set>
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

std::string aside_group(std::size_t i)
{
    return std::string(aside_folder) + "\\" + std::to_string(i / aside_group_size);
}

// The old file's other name once it could not be replaced where it stands
// (a running image, a file held open): it then leaves its place as well.
std::string moved_old_path(const std::string& aside)
{
    return aside + moved_suffix;
}

bool is_entry_ready(const JournalEntry& entry)
{
    return fits_path_limit(entry.name) && is_existing_file(staged_path(entry)) &&
           is_file_movable(staged_path(entry)) && !is_existing_folder(entry.name) &&
           (!entry.had_old || is_file_movable(entry.name));
}

// Old copies may be read-only, which would keep them from being deleted.
void remove_files_in(const std::string& folder)
{
    for (const std::string& name : list_plain_files(folder)) {
        std::string path = folder + "\\" + name;
        set_file_mode(path, writable_mode);
        remove_file(path);
    }
}

// Either layout: sub-folders of old copies, or old copies straight inside.
void remove_old_copies()
{
    for (const std::string& group : list_subfolders(aside_folder)) {
        const std::string folder = std::string(aside_folder) + "\\" + group;
        remove_files_in(folder);
        remove_folder(folder, false);
    }
    remove_files_in(aside_folder);
    remove_folder(aside_folder, false);
}

}  // namespace

Installation::Installation(std::vector<JournalEntry> entries, AsideLayout layout)
    : entries_(std::move(entries)), layout_(layout)
{
}

std::string Installation::aside_path(std::size_t i) const
{
    const std::string folder = layout_ == AsideLayout::flat ? aside_folder : aside_group(i);
    return folder + "\\" + std::to_string(i);
}

bool Installation::targets_are_ready() const
{
    return std::all_of(entries_.begin(), entries_.end(), is_entry_ready);
}

// A new journal is of the current layout. Its sub-folders are there before
// it, so that settling never needs to make one.
bool Installation::start()
{
    layout_ = AsideLayout::grouped;
    remove_old_copies();
    if (!make_folder(aside_folder))
        return false;
    for (std::size_t i = 0; i < entries_.size(); i += aside_group_size) {
        if (!make_folder(aside_group(i)))
            return false;
    }
    if (!write_journal(entries_))
        return false;
    started_ = true;
    step_taken();
    return true;
}

bool Installation::move_into_place()
{
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!(started_ ? move_in_as_planned(i) : move_in_as_found(i)))
            return false;
    }
    return true;
}

// Right after start(): the new copy is staged, the old file (if any) in
// place and nothing aside yet.
bool Installation::move_in_as_planned(std::size_t i)
{
    return entries_[i].had_old ? replace_old(i) : move_new_in(i);
}

// Settling: each file may be at any of its steps.
bool Installation::move_in_as_found(std::size_t i)
{
    const JournalEntry& entry = entries_[i];
    if (!is_existing_file(staged_path(entry)))
        return true;
    if (entry.had_old && is_existing_file(entry.name))
        return is_existing_file(aside_path(i)) ? replace_linked_old(i) : replace_old(i);
    return move_new_in(i);
}

// The old file first gets a second name aside and the new copy then
// replaces it in place, so that no name in the working folder is ever
// missing: proving one absent would cost a read of the whole folder.
// A read-only file is renamed aside instead: Windows would refuse to replace
// it, and the two names share the attribute that removing a name aside
// would have to clear. So is a file on a file system without second names.
bool Installation::replace_old(std::size_t i)
{
    const JournalEntry& entry = entries_[i];
    if (!is_read_only_file(entry.name) && link_file(entry.name, aside_path(i))) {
        step_taken();
        return replace_linked_old(i);
    }
    if (!rename_file(entry.name, aside_path(i)))
        return false;
    step_taken();
    return move_new_in(i);
}

// The old file has its second name aside.
bool Installation::replace_linked_old(std::size_t i)
{
    const JournalEntry& entry = entries_[i];
    if (replace_file(staged_path(entry), entry.name)) {
        step_taken();
        return true;
    }
    if (!rename_file(entry.name, moved_old_path(aside_path(i))))
        return false;
    step_taken();
    return move_new_in(i);
}

bool Installation::move_new_in(std::size_t i)
{
    const JournalEntry& entry = entries_[i];
    if (!rename_file(staged_path(entry), entry.name))
        return false;
    step_taken();
    return true;
}

// An old file linked aside whose new copy has gone from the staging folder
// has both names but is not new.
bool Installation::is_new_in_place(std::size_t i) const
{
    const JournalEntry& entry = entries_[i];
    return !is_existing_file(staged_path(entry)) && is_existing_file(entry.name) &&
           (!entry.had_old ||
            (is_existing_file(aside_path(i)) && !is_same_file(entry.name, aside_path(i))));
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
        if (!put_back_entry(i))
            all_back = false;
    }
    return all_back;
}

bool Installation::put_back_entry(std::size_t i)
{
    const JournalEntry& entry = entries_[i];
    if (is_new_in_place(i) && !rename_file(entry.name, staged_path(entry)))
        return false;
    if (!entry.had_old || !is_existing_file(aside_path(i)))
        return true;
    if (!is_existing_file(entry.name))
        return rename_file(aside_path(i), entry.name);
    // The new copy is staged, so the name in place is the old file's own and
    // the one aside its second name. A running image's second name stays
    // until the next start removes it with the other old copies.
    remove_file(aside_path(i));
    return true;
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
    std::set<std::string> planned;
    for (const std::string& name : staged_names) {
        if (planned.insert(name).second)
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
    Journal journal;
    switch (read_journal(journal)) {
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
    Installation installation(std::move(journal.entries), journal.layout);
    if (installation.has_every_new_copy() && installation.move_into_place())
        installation.finish();
    else if (installation.put_back())
        installation.discard();
}
