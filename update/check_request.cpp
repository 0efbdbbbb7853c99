#include "update/check_request.h"

#include "support/format.h"

std::string version_query(std::int32_t version)
{
    return format_text("wersja=%d", version);
}

std::string check_path(std::int32_t version)
{
    return "/upload/check_update.php?" + version_query(version);
}
