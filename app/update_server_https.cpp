#include "app/update_server.h"

const bool update_server_https = true;
