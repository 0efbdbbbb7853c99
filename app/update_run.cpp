#include "app/update_run.h"

#include <windows.h>

#include <wininet.h>

#include "app/update_check.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/texts.h"
#include "update/download_result.h"
#include "update/install.h"

namespace {

bool is_connected()
{
    return InternetGetConnectedState(nullptr, 0) != FALSE;
}

}  // namespace

bool run_update()
{
    CheckDialog check_window;
    UpdateDialog update_window;
    // An installation cut short is settled first, even offline, so that the
    // version read by the check is that of one consistent set of files.
    settle_interrupted_installation();
    if (!is_connected()) {
        show_message(nullptr, text_no_connection, MB_OK);
        return false;
    }
    if (!check_for_updates(check_window, update_list))
        return false;
    DownloadResult download = update_window.download_updates(update_list.files, update_list.pins);
    if (download.outcome != DownloadOutcome::done)
        return false;
    return install_updates(download.staged_names);
}
