// Key statements: small signed texts by which k of the vendor's n root keys
// name the keys a program built with that root set trusts: the release
// key(s), the freshness key and the publisher pins. Lines, in this order,
// each ending in a line feed:
//   produkt=<product>  serial=<n>  expires=<stamp>
//   release=<point> (one or two)  freshness=<point>  pin=<64 hex> (any)
//   root=<point> (none, or the root set from this statement on) and then
//   threshold=<k>
// then "signature=<base64 DER>" lines. A point is a P-256 key's X‖Y in 128
// lowercase hex digits. Root keys sign statement_prefix followed by the
// text: no reply, freshness or key claim message begins so, and none of
// those begins like the text, so no signature serves for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/der_signature.h"
#include "update/platform_crypto.h"
#include "update/publisher_pins.h"
#include "update/update_key.h"

extern const char statement_prefix[];

struct RootSet {
    std::vector<PublicKeyPoint> keys;
    std::size_t threshold = 0;
};

struct KeyStatement {
    std::string product;
    std::uint32_t serial = 0;
    std::string expires;
    std::vector<PublicKeyPoint> release_keys;
    PublicKeyPoint freshness_key{};
    std::vector<PublisherPin> pins;
    // No keys: the root set stays as it was.
    RootSet next_roots;
};

struct SignedStatement {
    KeyStatement statement;
    // Of statement_prefix and the text.
    Sha256Digest digest{};
    std::vector<RawSignature> signatures;
};

// Reads the statement that starts at text[at], exactly in the form above,
// and moves at past it; false for anything else.
bool read_key_statement(std::string_view text, std::size_t& at, SignedStatement& read);

// How many distinct keys of keys made one of the statement's signatures: a
// key counts once, however many signatures it made.
std::size_t signer_count(const std::vector<PublicKeyPoint>& keys, const SignedStatement& signed_statement);

// The keys a program trusts: the root set in force and the statement that
// names its keys.
struct KeyState {
    RootSet roots;
    KeyStatement statement;
};

// Makes state hold signed_statement when it is for product and signed by at
// least k distinct keys of the root set in force and, when it names a new
// set, by k of that set too (which is in force from then on). A successor
// must have serial n+1 of the held one; the statement a program is built
// with may have any serial.
bool accept_statement(KeyState& state, const SignedStatement& signed_statement, const char* product,
                      bool successor);

// The state of a program built with roots and the statement text built_in
// (which may have any serial); false when that text is not one statement
// that the roots accept.
bool start_key_state(const RootSet& roots, std::string_view built_in, const char* product,
                     KeyState& state);

// Applies the statements of chain, one after another, to state: each one
// with a serial at or below the held one is passed over, every other must
// be its successor. kept then holds the text of those accepted. False when
// chain holds anything else or a statement is refused; state is then
// undefined.
bool apply_key_chain(KeyState& state, std::string_view chain, const char* product,
                     std::string& kept);
