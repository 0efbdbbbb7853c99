// One offered file, from the network to the staging folder: made from its
// patch when the patch applies to the installed file, otherwise from its
// compressed form when one is offered, otherwise fetched whole; checked
// against its listed hash and staged as "_update\<name>".
#pragma once

#include "net/progress_sink.h"
#include "update/download_item.h"
#include "update/download_result.h"
#include "update/offered_file.h"
#include "update/publisher_pins.h"

// file has a name that can be staged. Cancel while the patch or the
// compressed form comes ends the file there, as it does while the whole
// file comes. A program or library is staged only when pins vouch for its
// publisher.
DownloadOutcome fetch_offered_file(ProgressSink& progress, const OfferedFile& file,
                                   DownloadItem& item, const PublisherPins& pins);
