// The platform's judgement of a file's Authenticode signature (WinVerifyTrust)
// and the keys of the certificates that vouch for its signer; the program
// parses no signature of its own.
#pragma once

#include <string>
#include <vector>

#include "update/platform_crypto.h"

// True when Windows accepts the Authenticode signature of the file at path;
// keys then holds the SHA-256 of the SubjectPublicKeyInfo (DER) of the
// signer's certificate and of every certificate of the chain Windows built
// for it, signer first. Shows nothing to the user.
bool signer_chain_keys(const std::string& path, std::vector<Sha256Digest>& keys);
