// The download phase: every offered file staged under the download window,
// or none.
#include <windows.h>

#include <commctrl.h>

#include <memory>

#include "support/files.h"
#include "ui/message_box.h"
#include "ui/modeless_dialog.h"
#include "ui/resource_ids.h"
#include "ui/texts.h"
#include "update/download_item.h"
#include "update/download_result.h"
#include "update/file_fetch.h"
#include "update/offered_file.h"
#include "update/staged_name.h"
#include "update/staging_folder.h"

namespace {

// Shows the file's name above the file bar and stages the file; a file
// whose URL gives no name, or a name that cannot be staged, fails.
DownloadOutcome download_file(UpdateDialog& dialog, const OfferedFile& file, const PublisherPins& pins)
{
    if (!file.file_name)
        return DownloadOutcome::failed;
    dialog.show_file_name(*file.file_name);
    if (!is_safe_file_name(*file.file_name))
        return DownloadOutcome::failed;
    auto item = std::make_unique<DownloadItem>();
    return fetch_offered_file(dialog, file, *item, pins);
}

}  // namespace

DownloadResult UpdateDialog::download_updates(const std::vector<OfferedFile>& files,
                                             const std::vector<PublisherPin>& pins)
{
    const PublisherPins pinned = {pins.data(), pins.size()};
    create(IDD_UPDATE, nullptr);
    remove_folder(staging_folder, true);
    make_folder(staging_folder);
    HWND overall_bar = GetDlgItem(window, IDC_OVERALL_BAR);
    SendMessageA(GetDlgItem(window, IDC_FILE_BAR), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(overall_bar, PBM_SETRANGE, 0, MAKELPARAM(0, files.size()));

    DownloadResult result;
    for (std::size_t i = 0; i < files.size(); ++i) {
        DownloadOutcome outcome = download_file(*this, files[i], pinned);
        if (outcome != DownloadOutcome::done) {
            show_message(window, text_download_failed, MB_OK);
            remove_folder(staging_folder, true);
            close();
            return {outcome, {}};
        }
        result.staged_names.push_back(*files[i].file_name);
        SendMessageA(overall_bar, PBM_SETPOS, i + 1, 0);
    }
    close();
    result.outcome = DownloadOutcome::done;
    return result;
}
