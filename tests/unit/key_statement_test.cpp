// Key statements and the key claim, on vectors that the server's own code
// makes with throw-away keys before the tests run
// (tools/make_statement_vectors): the threshold, the chain, the signing
// prefixes, and the kept chain read back whole, cut short or zeroed.
#include <gtest/gtest.h>

#include <string>

#include "app/reply_trust.h"
#include "support/files.h"
#include "update/key_claim.h"
#include "update/key_statement.h"
#include "update/reply_freshness.h"
#include "update/reply_signature.h"

namespace {

std::string vector_text(const std::string& name)
{
    std::string text;
    EXPECT_TRUE(read_whole_file(std::string(STATEMENT_VECTORS) + "/" + name, text)) << name;
    return text;
}

KeyStatement statement_of(const std::string& name)
{
    std::string text = vector_text(name);
    std::size_t at = 0;
    SignedStatement read;
    EXPECT_TRUE(read_key_statement(text, at, read)) << name;
    return read.statement;
}

// Roots a, b, c with threshold 2 (the set statement 1 names), holding statement 1.
KeyState first_state()
{
    KeyState state;
    EXPECT_TRUE(start_key_state(statement_of("s1").next_roots, vector_text("s1"), "localhost", state));
    return state;
}

// Whether the statement of that name follows the one state holds (state then holds it).
bool accepts(KeyState& state, const std::string& name)
{
    std::string text = vector_text(name);
    std::size_t at = 0;
    SignedStatement statement;
    return read_key_statement(text, at, statement) && at == text.size() &&
           accept_statement(state, statement, "localhost", true);
}

bool refuses(KeyState state, const std::string& name)
{
    return !accepts(state, name);
}

TEST(KeyStatement, OnlyKDistinctRootKeysOverThePrefixMakeTheNextSerial)
{
    KeyState state = first_state();
    ASSERT_EQ(state.statement.serial, 1u);
    ASSERT_EQ(state.statement.pins.size(), 1u);
    for (const char* refused : {"s2-one", "s2-twice", "s2-bare", "s2-other", "s3-skip", "s1"})
        EXPECT_TRUE(refuses(state, refused)) << refused;
    ASSERT_TRUE(accepts(state, "s2"));
    EXPECT_EQ(state.statement.release_keys, statement_of("s2").release_keys);

    // A new root set needs its own k; from then on the old keys certify nothing.
    EXPECT_TRUE(refuses(state, "s3-move-old"));
    ASSERT_TRUE(accepts(state, "s3-move"));
    EXPECT_TRUE(refuses(state, "s4-old"));
    EXPECT_TRUE(accepts(state, "s4"));

    // A program whose built-in statement its own roots did not sign holds nothing.
    std::vector<PublicKeyPoint> roots = statement_of("s3-move").next_roots.keys;
    EXPECT_FALSE(start_key_state({{roots[1], roots[2]}, 1}, vector_text("s1"), "localhost", state));
}

TEST(KeyStatement, AnythingButTheWholeTextIsNoStatement)
{
    const std::string text = vector_text("s2");
    std::string upper = text;
    upper[upper.find("release=") + 8] = 'D';
    // An exact-size copy of each, so that reading past the input shows up under a checker.
    std::vector<std::string> malformed = {upper, "x" + text, std::string(text.size(), '\0')};
    for (std::size_t length = 0; length < text.size(); ++length)
        if (text[length - (length > 0)] != '\n')
            malformed.push_back(text.substr(0, length));
    for (const std::string& input : malformed) {
        std::size_t at = 0;
        SignedStatement statement;
        EXPECT_FALSE(read_key_statement(input, at, statement) && at == input.size()) << input.size();
    }
}

TEST(KeyStatement, TheKeptChainCountsWholeOrNotAtAll)
{
    const std::string chain = vector_text("s1") + vector_text("s2") + vector_text("s3-move") + vector_text("s4");
    KeyState state = first_state();
    std::string kept;
    ASSERT_TRUE(apply_key_chain(state, chain, "localhost", kept));
    EXPECT_EQ(state.statement.serial, 4u);
    EXPECT_EQ(kept, chain.substr(vector_text("s1").size()));
    for (const std::string& damaged : {chain.substr(0, chain.size() - 20), std::string(chain.size(), '\0'),
                                       vector_text("s2") + vector_text("s4")}) {
        KeyState tried = first_state();
        EXPECT_FALSE(apply_key_chain(tried, damaged, "localhost", kept));
    }
}

// Version 7's reply under statement 2: release signature, freshness line, claim, body.
std::vector<std::string> stored_reply()
{
    std::string text = vector_text("reply-7");
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (int line = 0; line < 3; ++line) {
        std::size_t end = text.find('\n', at);
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    parts.push_back(text.substr(at));
    return parts;
}

TEST(KeyClaim, NamesTheSerialOfOneReplyUntilItsExpiry)
{
    const std::vector<std::string> reply = stored_reply();
    const std::string &freshness = reply[1], &claim = reply[2], &body = reply[3];
    const KeyStatement second = statement_of("s2");
    const PublicKeyPoint freshness_key = second.freshness_key;
    Sha256Digest digest, other_version;
    ASSERT_TRUE(signed_reply_digest("localhost", 7, body.data(), body.size(), digest));
    ASSERT_TRUE(signed_reply_digest("localhost", 8, body.data(), body.size(), other_version));
    const std::string now = utc_now_stamp();
    EXPECT_TRUE(is_claimed_reply(freshness_key, 2, digest, claim, freshness, now));
    // Not for a program holding less, another reply, a changed serial, past the expiry.
    EXPECT_FALSE(is_claimed_reply(freshness_key, 1, digest, claim, freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, other_version, claim, freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 3, digest, "1" + claim.substr(1), freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, digest, claim, freshness, "20991231T000000Z"));
    // Neither signature of the freshness key serves as the other.
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, freshness.substr(0, 16) + claim.substr(1), now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, digest, "2" + freshness.substr(16), freshness, now));

    // The whole check: the release key statement 2 names, not the one it replaced, and not once it expired.
    MemoryStream bytes(body.begin(), body.end());
    ReplySignature signature{7, reply[0], freshness, claim};
    ReplyKeys keys{true, 2, second.expires, second.release_keys, freshness_key, {}};
    ReplyKeys revoked = keys, expired = keys;
    revoked.release_keys = statement_of("s1").release_keys;
    expired.expires = "20200101T000000Z";
    EXPECT_TRUE(is_trusted_reply(bytes, static_cast<std::int32_t>(bytes.size()), signature, keys));
    for (const ReplyKeys& refused : {revoked, expired})
        EXPECT_FALSE(is_trusted_reply(bytes, static_cast<std::int32_t>(bytes.size()), signature, refused));
}

}  // namespace
