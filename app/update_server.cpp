#include "app/update_server.h"

const char update_server_host[] = UPDATE_SERVER_HOST;
