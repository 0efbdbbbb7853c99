// The freshness signature of an update list: its header's form, its expiry
// against a given time, and the reading of the system clock. The vector was
// made once with `openssl dgst -sha256 -sign` and throw-away keys (their
// private halves were never kept), over the reply of signature_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hex.h"
#include "update/reply_freshness.h"
#include "update/reply_signature.h"

namespace {

const PublicKeyPoint freshness_key = {
    0x6f, 0xa3, 0x1f, 0x3c, 0x04, 0xfe, 0x5e, 0x61, 0x4d, 0x3e, 0x77, 0xcb, 0x33, 0x8c, 0xff, 0x0f,
    0xdd, 0x1b, 0x2f, 0x1c, 0xf0, 0x1b, 0x8d, 0x9a, 0xa2, 0x57, 0x27, 0xc6, 0x41, 0x4e, 0x2b, 0xe5,
    0x0b, 0x88, 0x70, 0x83, 0x75, 0x83, 0xd3, 0xd3, 0xdf, 0x14, 0xf4, 0x2e, 0x9a, 0x6f, 0x86, 0x8c,
    0x80, 0xe6, 0x3a, 0x5f, 0xb9, 0x34, 0xd0, 0x52, 0x39, 0x85, 0x13, 0x64, 0xec, 0xa1, 0xf0, 0x98};
const std::string reply_body =
    "http://localhost/files/a.txt,3,"
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n";
// The digest of "produkt=localhost\nwersja=7\n" + reply_body, as openssl made it.
const std::string reply_digest_hex = "935f59eb91f39d9b38a6513c0b897629a3559e5b90d74363a0cbb9258af900e3";
const std::string expiry = "20261216T053000Z";
// Over "expires=20261216T053000Z\n" + reply_digest_hex.
const std::string freshness_signature = "MEUCIQCi4+MZuKTiPqtWkvrG3LTmsyiBcQX0jHFEzZCVaWeoQgIge7Ts1XL7h"
                                        "pEz0pkAly8vyLhGD8ysclv2iB6k0hxHSYg=";
const std::string good_header = expiry + " " + freshness_signature;

Sha256Digest digest_of(std::int32_t version)
{
    Sha256Digest digest{};
    EXPECT_TRUE(signed_reply_digest("localhost", version, reply_body.data(), reply_body.size(), digest));
    return digest;
}

TEST(FreshnessHeader, IsAStampASpaceAndASignatureAndNothingElse)
{
    FreshnessClaim claim;
    ASSERT_TRUE(parse_freshness_header(good_header, claim));
    EXPECT_EQ(claim.expires, expiry);

    const std::string signature = " " + freshness_signature;
    const std::vector<std::string> malformed = {
         std::string(), expiry, expiry + " ", "1797398400" + signature, expiry + "  " + freshness_signature,
          expiry + "\t" + freshness_signature, " " + good_header, good_header + " ", good_header + "\r\n",
          good_header + " " + freshness_signature, "20261216t053000z" + signature,
          "20261216T053000" + signature, "2026121T6053000Z" + signature, "+2026121T053000Z" + signature,
          "2026-12-16T05:30:00Z" + signature, "20261216T053000Z" + signature.substr(0, 40),
          "20261216T053000Z garbage", std::string(4000, '2'), freshness_signature};
    for (const std::string& header : malformed) {
        FreshnessClaim untouched;
        EXPECT_FALSE(parse_freshness_header(header, untouched)) << header;
        EXPECT_TRUE(untouched.expires.empty()) << header;
    }
}

TEST(FreshnessHeader, StampsAreRealTimesOfTheCalendar)
{
    for (const char* stamp : {"20261231T235959Z", "20240229T000000Z", "20000229T120000Z",
                              "19700101T000000Z", "99991231T235959Z"})
        EXPECT_TRUE(is_utc_stamp(stamp)) << stamp;
    for (const char* stamp :
         {"20230229T000000Z", "21000229T000000Z", "20260230T000000Z", "20260431T000000Z",
          "20261301T000000Z", "20260001T000000Z", "20260100T000000Z", "20260101T240000Z",
          "20260101T006000Z", "20260101T000060Z", "20260101 000000Z", "20260101T000000+",
          "2026010AT000000Z", "20260101T000000Z0", "20260101T00000Z"})
        EXPECT_FALSE(is_utc_stamp(stamp)) << stamp;
}

TEST(FreshReply, VerifiesForItsReplyUntilItsExpiry)
{
    Sha256Digest digest = digest_of(7);
    ASSERT_EQ(hex_text(digest.data(), digest.size()), reply_digest_hex);

    EXPECT_TRUE(is_fresh_reply(freshness_key, digest, good_header, "20261216T052959Z"));
    EXPECT_TRUE(is_fresh_reply(freshness_key, digest, good_header, "19991231T235959Z"));
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, good_header, expiry));
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, good_header, "20261216T053001Z"));
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, good_header, "20270101T000000Z"));

    // Another reply, a later expiry under the same signature, another key.
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest_of(8), good_header, "20260101T000000Z"));
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, "20271216T053000Z " + freshness_signature,
                                "20260101T000000Z"));
    PublicKeyPoint other_key = freshness_key;
    other_key[63] ^= 1;
    EXPECT_FALSE(is_fresh_reply(other_key, digest, good_header, "20260101T000000Z"));
    EXPECT_FALSE(is_fresh_reply(freshness_key, digest, "", "20260101T000000Z"));
}

TEST(FreshReply, TheSystemClockReadsAsAStampThatMovesForward)
{
    std::string first = utc_now_stamp();
    std::string second = utc_now_stamp();
    EXPECT_TRUE(is_utc_stamp(first)) << first;
    EXPECT_GT(first, "20260101T000000Z");
    EXPECT_LT(first, "21000101T000000Z");
    EXPECT_LE(first, second);
}

}  // namespace
