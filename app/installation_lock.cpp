#include "app/installation_lock.h"

bool InstallationLock::take()
{
    // No sharing: every other open fails with a sharing violation while this
    // handle lives, and the system closes the handle when the process ends
    // however it ends, so a crashed or ended run never keeps the folder. A
    // file left by a power cut has no holder and is simply opened again.
    // Delete-on-close removes the file with the last handle. The handle is
    // not inheritable, so menu.exe does not keep the lock alive.
    file = CreateFileA(installation_lock_file, GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    return file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION;
}

void InstallationLock::release()
{
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}
