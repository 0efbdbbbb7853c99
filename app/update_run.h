#pragma once

// One update: connectivity, check, download, installation. True only when an
// accepted update was completely installed.
bool run_update();
