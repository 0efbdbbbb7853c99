// Key statements and the key claim, on vectors that the server's own code
// makes with throw-away keys before the tests run
// (tools/make_statement_vectors): the threshold, the chain, the signing
// prefixes, and the kept chain read back whole, cut short or zeroed.
#include <gtest/gtest.h>

#include <string>

#include "app/reply_trust.h"
#include "support/files.h"
#include "support/hex.h"
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

std::vector<PublicKeyPoint> points(const std::string& name)
{
    std::vector<PublicKeyPoint> found;
    std::string text = vector_text(name);
    for (std::size_t at = 0; at + 129 <= text.size(); at += 129) {
        PublicKeyPoint point{};
        for (std::size_t i = 0; i < point.size(); ++i)
            point[i] = static_cast<unsigned char>(hex_digit_value(text[at + 2 * i]) * 16 +
                                                  hex_digit_value(text[at + 2 * i + 1]));
        found.push_back(point);
    }
    return found;
}

// Roots a, b, c with threshold 2, holding statement 1.
KeyState first_state()
{
    std::vector<PublicKeyPoint> roots = points("roots");
    KeyState state;
    EXPECT_TRUE(start_key_state({{roots[0], roots[1], roots[2]}, 2}, vector_text("s1"), "localhost", state));
    return state;
}

bool accepts(KeyState& state, const std::string& name)
{
    std::string text = vector_text(name);
    std::size_t at = 0;
    SignedStatement statement;
    return read_key_statement(text, at, statement) && at == text.size() &&
           accept_statement(state, statement, "localhost", true);
}

TEST(KeyStatement, OnlyKDistinctRootKeysOverThePrefixMakeTheNextSerial)
{
    KeyState state = first_state();
    ASSERT_EQ(state.statement.serial, 1u);
    ASSERT_EQ(state.statement.pins.size(), 1u);
    for (const char* refused : {"s2-one", "s2-twice", "s2-bare", "s2-other", "s3-skip", "s1"}) {
        KeyState tried = state;
        EXPECT_FALSE(accepts(tried, refused)) << refused;
    }
    ASSERT_TRUE(accepts(state, "s2"));
    EXPECT_EQ(state.statement.release_keys, std::vector<PublicKeyPoint>{points("keys")[1]});
    EXPECT_FALSE(accepts(state, "s2"));

    // A new root set needs its own k; from then on the old keys certify nothing.
    KeyState tried = state;
    EXPECT_FALSE(accepts(tried, "s3-move-old"));
    ASSERT_TRUE(accepts(state, "s3-move"));
    tried = state;
    EXPECT_FALSE(accepts(tried, "s4-old"));
    EXPECT_TRUE(accepts(state, "s4"));

    // A program whose built-in statement its own roots did not sign holds nothing.
    std::vector<PublicKeyPoint> roots = points("roots");
    EXPECT_FALSE(start_key_state({{roots[3], roots[4]}, 1}, vector_text("s1"), "localhost", tried));
}

TEST(KeyStatement, AnythingButTheWholeTextIsNoStatement)
{
    const std::string text = vector_text("s2");
    for (std::size_t length = 0; length < text.size(); ++length) {
        std::string cut(text, 0, length);
        std::size_t at = 0;
        SignedStatement statement;
        // Only a cut at a line's end can read whole: a statement signed less.
        if (read_key_statement(cut, at, statement) && at == length) {
            EXPECT_EQ(cut[length - 1], '\n') << length;
        }
        EXPECT_LE(at, length);
    }
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string upper = text;
    upper[upper.find("release=") + 8] = 'D';
    for (const std::string& malformed : {crlf, upper, "x" + text, std::string(text.size(), '\0')}) {
        std::size_t at = 0;
        SignedStatement statement;
        EXPECT_FALSE(read_key_statement(malformed, at, statement));
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

struct StoredReply {
    std::string signature, freshness, claim, body;
};

StoredReply stored_reply()
{
    std::string text = vector_text("reply-7");
    StoredReply reply;
    std::size_t first = text.find('\n'), second = text.find('\n', first + 1), third = text.find('\n', second + 1);
    reply.signature = text.substr(0, first);
    reply.freshness = text.substr(first + 1, second - first - 1);
    reply.claim = text.substr(second + 1, third - second - 1);
    reply.body = text.substr(third + 1);
    return reply;
}

TEST(KeyClaim, NamesTheSerialOfOneReplyUntilItsExpiry)
{
    const StoredReply reply = stored_reply();
    const PublicKeyPoint freshness_key = points("keys")[2];
    Sha256Digest digest, other_version;
    ASSERT_TRUE(signed_reply_digest("localhost", 7, reply.body.data(), reply.body.size(), digest));
    ASSERT_TRUE(signed_reply_digest("localhost", 8, reply.body.data(), reply.body.size(), other_version));
    const std::string now = utc_now_stamp();
    EXPECT_TRUE(is_claimed_reply(freshness_key, 2, digest, reply.claim, reply.freshness, now));
    EXPECT_TRUE(is_claimed_reply(freshness_key, 3, digest, reply.claim, reply.freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 1, digest, reply.claim, reply.freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, other_version, reply.claim, reply.freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 3, digest, "1" + reply.claim.substr(1), reply.freshness, now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, digest, reply.claim, reply.freshness, "20991231T000000Z"));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, digest, "02" + reply.claim.substr(1), reply.freshness, now));
    // Neither signature of the freshness key serves as the other.
    const std::string stamp = reply.freshness.substr(0, 16);
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, stamp + reply.claim.substr(1), now));
    EXPECT_FALSE(is_claimed_reply(freshness_key, 2, digest, "2" + reply.freshness.substr(16), reply.freshness, now));

    // The whole check: the release key statement 2 names, not the one it replaced, and not once it expired.
    MemoryStream body(reply.body.begin(), reply.body.end());
    ReplySignature signature{7, reply.signature, reply.freshness, reply.claim};
    ReplyKeys keys{true, 2, "20991231T000000Z", {points("keys")[1]}, freshness_key, {}};
    EXPECT_TRUE(is_trusted_reply(body, static_cast<std::int32_t>(body.size()), signature, keys));
    ReplyKeys revoked = keys;
    revoked.release_keys = {points("keys")[0]};
    ReplyKeys expired = keys;
    expired.expires = "20200101T000000Z";
    for (const ReplyKeys& refused : {revoked, expired})
        EXPECT_FALSE(is_trusted_reply(body, static_cast<std::int32_t>(body.size()), signature, refused));
}

}  // namespace
