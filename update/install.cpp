#include "update/install.h"

#include <windows.h>

#include <string>

#include "support/files.h"
#include "ui/message_box.h"
#include "ui/texts.h"
#include "update/staging_folder.h"

namespace {

const char staged_prefix[] = "_update//";
const int writable_mode = 0222;

// Replaces the installed file of this name with its staged copy.
enum class InstallResult { installed, failed, failed_after_removal };

InstallResult install_file(const std::string& name)
{
    bool replacing = is_existing_file(name);
    if (replacing && (!set_file_mode(name, writable_mode) || !remove_file(name)))
        return InstallResult::failed;
    if (!relocate_file(staged_prefix + name, name))
        return replacing ? InstallResult::failed_after_removal : InstallResult::failed;
    return InstallResult::installed;
}

}  // namespace

bool install_updates()
{
    for (const std::string& name : list_plain_files(staging_folder)) {
        InstallResult result = install_file(name);
        if (result != InstallResult::installed) {
            show_message(nullptr, text_install_failed, MB_OK);
            // With the installed file already deleted, the staged copy is the
            // only one left: _update stays so that nothing is lost.
            if (result == InstallResult::failed)
                remove_folder(staging_folder, true);
            return false;
        }
    }
    remove_folder(staging_folder, true);
    return true;
}
