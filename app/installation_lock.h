// One run at a time per installation folder: a lock file in the working
// folder, held open without sharing from the start of a run to its end.
#pragma once

#include <windows.h>

#include "update/staging_folder.h"  // installation_lock_file

class InstallationLock {
public:
    InstallationLock() = default;
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;
    ~InstallationLock() { release(); }

    // False only when another run holds the working folder; this run must
    // then change nothing there. True when this run holds it now, and when
    // the folder takes no new file at all (read-only, say): such a run goes
    // on as before, since it can stage nothing there either.
    bool take();
    // Lets the next run take the folder; the lock file goes with it.
    void release();

private:
    HANDLE file = INVALID_HANDLE_VALUE;
};
