// The validator a request for the rest of a body names in If-Range. It comes
// from the answer the held bytes began with, so a server whose resource has
// changed since sends the whole new one instead of the rest, and bytes of
// two versions are never put together.
#pragma once

#include <string>

// etag and last_modified are that answer's header values, empty when it had
// none. The result is the ETag when it is a strong one ("..."; a weak
// W/"..." only says two versions mean the same, not that their bytes are
// the same), else the Last-Modified date; empty when neither is usable,
// and the body is then never continued.
std::string range_validator(const std::string& etag, const std::string& last_modified);

// Whether a partial answer is of the version the request named: its ETag,
// when validator is one, or else its Last-Modified equals validator (the
// header values as received, empty when absent). Only equal strong
// validators let two answers' bytes be joined.
bool is_answer_under(const std::string& validator, const std::string& etag,
                     const std::string& last_modified);
