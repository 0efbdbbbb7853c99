#pragma once

// Moves every file staged in _update over the installed one, then removes
// _update.
bool install_updates();
