// The installation, all or nothing: every installed file keeps a name aside
// in the staging folder while its new copy takes its place; a failure puts
// every old file back, and a journal lets the next start settle an
// installation that was cut short.
#pragma once

#include <string>
#include <vector>

#include "update/install_journal.h"

class Installation {
public:
    // A journal read back gives the layout its old copies were put aside in.
    explicit Installation(std::vector<JournalEntry> entries,
                          AsideLayout layout = AsideLayout::grouped);

    // Touches nothing: every staged copy is there, every target can be
    // replaced and every path fits the platform's limit.
    bool targets_are_ready() const;
    // Clears what an earlier installation left aside and writes the journal,
    // of the current layout.
    bool start();
    // Puts aside each old file still in place and moves in each new copy
    // still staged, in journal order; stops at the first failure. After
    // start() the disk is known to be as planned and is not looked at again.
    bool move_into_place();
    // Every file has its new copy, either installed or still staged.
    bool has_every_new_copy() const;
    // Takes back each new copy and returns each old file; false when some
    // file could not be put back.
    bool put_back();
    // After move_into_place: the journal, the old copies and the staging
    // folder are removed. An old copy that is a running image stays aside.
    void finish();
    // After put_back: the journal and the staging folder are removed.
    void discard();

private:
    std::string aside_path(std::size_t i) const;
    bool move_in_as_planned(std::size_t i);
    bool move_in_as_found(std::size_t i);
    bool replace_old(std::size_t i);
    bool replace_linked_old(std::size_t i);
    bool move_new_in(std::size_t i);
    bool is_new_in_place(std::size_t i) const;
    bool put_back_entry(std::size_t i);

    std::vector<JournalEntry> entries_;
    AsideLayout layout_;
    bool started_ = false;
};

// One entry per distinct name, in first-seen order; a file of that name in
// the working folder is an old file to be moved aside.
std::vector<JournalEntry> plan_installation(const std::vector<std::string>& staged_names);

// Installs exactly the files named, from the staging folder; on failure the
// working folder is left as it was and the user is told.
bool install_updates(const std::vector<std::string>& staged_names);

// Finishes an installation a journal shows was cut short when every new
// copy is still there, otherwise undoes it; removes the old copies that a
// finished installation could not. Shows nothing.
void settle_interrupted_installation();
