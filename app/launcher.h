#pragma once

// Starts "menu.exe" from the working directory without waiting for it;
// nothing happens when it is missing.
void start_launcher();
