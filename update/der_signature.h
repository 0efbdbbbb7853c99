// ECDSA P-256 signatures as OpenSSL and PHP write them (DER: a SEQUENCE of
// the two INTEGERs r and s) turned into the r‖s form the platform verifies.
#pragma once

#include <array>
#include <string>
#include <vector>

// r then s, 32 bytes each, big-endian.
using RawSignature = std::array<unsigned char, 64>;

// Strict DER: definite short lengths that match exactly, minimal positive
// integers of at most 32 significant bytes, nothing after the sequence.
bool der_to_raw_signature(const std::vector<unsigned char>& der, RawSignature& raw);

// The base64 text of a DER signature, as the response headers carry it.
bool read_signature_text(const std::string& base64_text, RawSignature& raw);
