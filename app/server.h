#pragma once

// The update server's host name, fixed at build time.
extern const char update_server_host[];
