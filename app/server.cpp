#include "app/server.h"

const char update_server_host[] = UPDATE_SERVER_HOST;
const bool update_server_https = UPDATE_SERVER_HTTPS;
