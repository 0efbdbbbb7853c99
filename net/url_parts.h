// Splitting an http or https URL into what a request needs.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

struct UrlParts {
    std::string host;
    INTERNET_PORT port = INTERNET_INVALID_PORT_NUMBER;
    // The path with any query, the object of the request.
    std::string object_path;
    bool secure = false;
};

// False for a URL the platform cannot split, one without a host, and one
// whose scheme is neither http nor https.
bool split_url(const std::string& url, UrlParts& parts);

// The URL of parts with the port always written, so that two spellings of
// one address compare equal.
std::string url_text(const UrlParts& parts);
