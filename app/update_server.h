#pragma once

// The update server, fixed at build time: its host name, and whether the
// check goes over https to port 443 rather than http to port 80. The scheme
// comes from update_server_http.cpp or update_server_https.cpp, whichever
// the program links.
extern const char update_server_host[];
extern const bool update_server_https;
