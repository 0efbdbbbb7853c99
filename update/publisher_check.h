// The second lock on what runs: a staged Windows program or library is
// installed only when Windows accepts its Authenticode signature and a pinned
// key vouches for its signer. Other files carry no signature and are not
// asked for one.
#pragma once

#include <string>
#include <string_view>

#include "update/publisher_pins.h"

// True when the file staged at path, whose bytes are bytes, may be
// installed: pins is empty (the program checks no code signature), the bytes
// are no Windows program or library, or its certificate table holds one
// signature and nothing else (update/pe_image.h), Windows accepts that
// signature, and the signer's certificate or one that vouches for it link
// by link (update/platform_code_signing.h) has a pinned key.
bool has_pinned_publisher(const std::string& path, std::string_view bytes,
                          const PublisherPins& pins);
