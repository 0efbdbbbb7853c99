#include "net/url_parts.h"

bool split_url(const std::string& url, UrlParts& parts)
{
    // A non-zero length with a null buffer asks for a pointer into url.
    URL_COMPONENTSA components = {};
    components.dwStructSize = sizeof(components);
    components.dwHostNameLength = 1;
    components.dwUrlPathLength = 1;
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &components) ||
        components.lpszHostName == nullptr || components.dwHostNameLength == 0 ||
        components.lpszUrlPath == nullptr)
        return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    parts.host.assign(components.lpszHostName, components.dwHostNameLength);
    parts.port = components.nPort;
    parts.object_path.assign(components.lpszUrlPath, components.dwUrlPathLength);
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

std::string url_text(const UrlParts& parts)
{
    INTERNET_PORT port = parts.port;
    if (port == INTERNET_INVALID_PORT_NUMBER)
        port = parts.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    return std::string(parts.secure ? "https://" : "http://") + parts.host + ":" +
           std::to_string(port) + parts.object_path;
}
