// The platform's judgement of a file's Authenticode signature (WinVerifyTrust)
// and the keys of the certificates that vouch for its signer, each link of
// the chain checked by the platform's certificate calls; the program parses
// no signature of its own.
#pragma once

#include <string>
#include <vector>

#include "update/platform_crypto.h"

// True when Windows accepts the Authenticode signature of the file at path,
// no certificate of the chain Windows built for the signer carries an error
// (but for a root the machine does not trust: the pins stand in for that),
// and the signer's certificate is one for code signing, valid when the
// signature was made (its timestamp, or without one now). keys then holds
// the SHA-256 of the SubjectPublicKeyInfo (DER) of the signer's certificate
// and of each next certificate of the chain as long as the one before was
// signed by its key, signer first. Shows nothing to the user.
bool signer_chain_keys(const std::string& path, std::vector<Sha256Digest>& keys);
