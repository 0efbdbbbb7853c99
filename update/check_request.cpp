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

std::string signed_prefix(const char* product, std::int32_t version)
{
    return std::string("produkt=") + product + "\n" + version_query(version) + "\n";
}

std::string statement_path(std::uint32_t serial)
{
    return format_text("/files/keys/%u", static_cast<unsigned>(serial));
}
