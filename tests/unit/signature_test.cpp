// The pieces of a signed update list: base64 of the header, DER to r‖s, and
// verification through the platform's CNG against a vector made once with a
// throw-away key (its private half was never kept).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/base64.h"
#include "update/der_signature.h"
#include "update/platform_crypto.h"
#include "update/reply_signature.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST(Base64, DecodesPaddedTextOfEveryLength)
{
    Bytes out;
    EXPECT_TRUE(decode_base64("", out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(decode_base64("YQ==", out));
    EXPECT_EQ(out, bytes_of("a"));
    EXPECT_TRUE(decode_base64("YWI=", out));
    EXPECT_EQ(out, bytes_of("ab"));
    EXPECT_TRUE(decode_base64("YWJj", out));
    EXPECT_EQ(out, bytes_of("abc"));
    EXPECT_TRUE(decode_base64("+/8A", out));
    EXPECT_EQ(out, (Bytes{0xfb, 0xff, 0x00}));
}

TEST(Base64, RefusesMalformedTextAndLeavesNothing)
{
    for (const char* text : {"Y", "YQ", "YQ=", "YQ===", "Y===", "====", "YQ==YQ==", "Y=Q=", "YW I",
                             "YWJj\r\n", " YWJj", "YW-j", "YW_j", "YR==", "YWJ=", "\x80WJj"}) {
        Bytes out = {1, 2, 3};
        EXPECT_FALSE(decode_base64(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

// A DER signature of the two integers as given (their content bytes).
Bytes der_of(const Bytes& r, const Bytes& s)
{
    Bytes der = {0x30, static_cast<unsigned char>(4 + r.size() + s.size()), 0x02,
                 static_cast<unsigned char>(r.size())};
    der.insert(der.end(), r.begin(), r.end());
    der.push_back(0x02);
    der.push_back(static_cast<unsigned char>(s.size()));
    der.insert(der.end(), s.begin(), s.end());
    return der;
}

TEST(DerSignature, IntegersArePaddedOrStrippedToThirtyTwoBytesEach)
{
    Bytes r32(32, 0x11);
    Bytes s33(33, 0x92);
    s33[0] = 0x00;  // needed: the next byte has its high bit set
    RawSignature raw = {};
    ASSERT_TRUE(der_to_raw_signature(der_of(r32, s33), raw));
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 32), r32);
    EXPECT_EQ(Bytes(raw.begin() + 32, raw.end()), Bytes(32, 0x92));

    ASSERT_TRUE(der_to_raw_signature(der_of({0x05}, {0x7f, 0x01}), raw));
    Bytes expected(64, 0);
    expected[31] = 0x05;
    expected[62] = 0x7f;
    expected[63] = 0x01;
    EXPECT_EQ(Bytes(raw.begin(), raw.end()), expected);
}

TEST(DerSignature, RefusesMalformedEncodingsWithoutTouchingTheResult)
{
    Bytes r(32, 0x11);
    Bytes s(32, 0x22);
    Bytes good = der_of(r, s);
    Bytes leading_zero = r;
    leading_zero.insert(leading_zero.begin(), 0x00);  // 0x11 needs no zero before it
    Bytes too_long(34, 0x01);
    too_long[0] = 0x00;
    too_long[1] = 0x80;  // 33 significant bytes
    Bytes negative = r;
    negative[0] = 0x80;
    Bytes with_trailing = good;
    with_trailing.push_back(0x00);
    Bytes wrong_outer = good;
    wrong_outer[0] = 0x31;
    Bytes wrong_inner = good;
    wrong_inner[2] = 0x04;
    Bytes outer_too_long = good;
    ++outer_too_long[1];
    Bytes outer_too_short = good;
    --outer_too_short[1];
    Bytes inner_past_end = good;
    inner_past_end[2 + 2 + 32 + 1] = 0x21;
    Bytes long_form = {0x30, 0x81, 0x44};
    long_form.insert(long_form.end(), good.begin() + 2, good.end());
    Bytes one_integer = {0x30, 0x22, 0x02, 0x20};
    one_integer.insert(one_integer.end(), r.begin(), r.end());
    Bytes three_integers = der_of(r, s);
    three_integers.insert(three_integers.end(), {0x02, 0x01, 0x01});
    three_integers[1] += 3;

    const std::vector<Bytes> malformed = {
        {},
        {0x30},
        {0x30, 0x00},
        {0x30, 0x02, 0x02, 0x00},
        der_of({}, s),
        der_of(leading_zero, s),
        der_of(r, {0x00, 0x01}),
        der_of(too_long, s),
        der_of(negative, s),
        der_of(r, Bytes(40, 0x01)),
        with_trailing,
        wrong_outer,
        wrong_inner,
        outer_too_long,
        outer_too_short,
        inner_past_end,
        long_form,
        one_integer,
        three_integers,
        Bytes(good.begin(), good.end() - 1),
        Bytes(200, 0x30),
    };
    for (std::size_t i = 0; i < malformed.size(); ++i) {
        RawSignature raw;
        raw.fill(0xaa);
        // An exact-size copy, so that reading past the input shows up under a checker.
        Bytes input(malformed[i]);
        EXPECT_FALSE(der_to_raw_signature(input, raw)) << "case " << i;
        EXPECT_EQ(raw[0], 0xaa) << "case " << i;
        EXPECT_EQ(raw[63], 0xaa) << "case " << i;
    }
}

TEST(PlatformCrypto, Sha256OfPiecesIsTheDigestOfTheirJoin)
{
    const Bytes abc_digest = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                              0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                              0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    Sha256Digest whole, pieces, empty;
    ASSERT_TRUE(sha256({{"abc", 3}}, whole));
    EXPECT_EQ(Bytes(whole.begin(), whole.end()), abc_digest);
    ASSERT_TRUE(sha256({{"a", 1}, {"", 0}, {"bc", 2}}, pieces));
    EXPECT_EQ(pieces, whole);
    ASSERT_TRUE(sha256({{nullptr, 0}}, empty));
    EXPECT_EQ(empty[0], 0xe3);  // e3b0c442... is the digest of nothing
    EXPECT_EQ(empty[31], 0x55);
}

// Made once with `openssl dgst -sha256 -sign` and a throw-away key.
const PublicKeyPoint vector_key = {
    0xfa, 0x8e, 0x05, 0x51, 0x83, 0x9e, 0x30, 0xec, 0x2e, 0x17, 0x65, 0xbe, 0x71, 0x72, 0x71, 0xc2,
    0x5a, 0x68, 0x71, 0xb3, 0xa3, 0xa8, 0x9e, 0x93, 0xa6, 0x65, 0xc7, 0xd3, 0x41, 0x05, 0x42, 0xd8,
    0x8f, 0xcd, 0xa5, 0x22, 0xf4, 0xab, 0xdf, 0x79, 0xe9, 0x30, 0x51, 0xb2, 0x3c, 0xc7, 0xf4, 0x13,
    0x7b, 0xee, 0xfe, 0x28, 0xde, 0xcb, 0xf9, 0xc7, 0x57, 0xfa, 0x15, 0x52, 0x18, 0xbf, 0x33, 0xd2};
const std::string vector_body =
    "http://localhost/files/a.txt,3,"
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n";
// Over "produkt=localhost\nwersja=7\n" + vector_body; s has a leading zero byte in DER.
const std::string vector_signature = "MEUCIHw8pt+3usIlUDen/B1QHigtqZCFdN4AQZyTZFtxANDFAiEA5wBOEP+Lb"
                                     "rN40nmBpTw+2JK7Fls53b/LUvsWh+zkPJo=";
// Over "produkt=localhost\nwersja=-1\n" and no body.
const std::string empty_reply_signature = "MEQCIBjBNhNJfRhMnwZlIdJLlfquxPqZL1fWcxQTTMrHDcGWAiAUo"
                                          "f2kOA8oFLYnhuGbVJdDq4zXYCRORqjeydySumHIHA==";

bool signed_reply(std::int32_t version, const std::string& body, const std::string& header,
                  const PublicKeyPoint& key = vector_key, const char* product = "localhost")
{
    Sha256Digest digest;
    return signed_reply_digest(product, version, body.data(), body.size(), digest) &&
           is_signed_reply(key, digest, header);
}

TEST(ReplySignature, OnlyTheSignedBodyForTheSignedProductAndVersionVerifies)
{
    EXPECT_TRUE(signed_reply(7, vector_body, vector_signature));
    EXPECT_TRUE(signed_reply(-1, "", empty_reply_signature));

    EXPECT_FALSE(signed_reply(8, vector_body, vector_signature));
    EXPECT_FALSE(signed_reply(70, vector_body, vector_signature));
    EXPECT_FALSE(signed_reply(1, "", empty_reply_signature));
    EXPECT_FALSE(signed_reply(7, vector_body, vector_signature, vector_key, "localhost2"));
    EXPECT_FALSE(signed_reply(7, vector_body, vector_signature, vector_key, "Localhost"));
    EXPECT_FALSE(signed_reply(-1, "", empty_reply_signature, vector_key, ""));
    std::string changed = vector_body;
    changed[30] = '4';
    EXPECT_FALSE(signed_reply(7, changed, vector_signature));
    EXPECT_FALSE(signed_reply(7, vector_body.substr(0, vector_body.size() - 2), vector_signature));
    EXPECT_FALSE(signed_reply(7, vector_body + "\r\n", vector_signature));
    EXPECT_FALSE(signed_reply(7, vector_body, empty_reply_signature));

    PublicKeyPoint other_key = vector_key;
    other_key[63] ^= 1;  // not even a point of the curve
    EXPECT_FALSE(signed_reply(7, vector_body, vector_signature, other_key));
}

TEST(ReplySignature, MalformedHeadersNeverVerify)
{
    std::string flipped = vector_signature;
    flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
    for (const std::string& header :
         {std::string(), std::string("garbage"), vector_signature.substr(0, 40),
          vector_signature + "AAAA", " " + vector_signature, flipped, std::string("MAYCAQECAQE="),
          std::string(4000, 'A')}) {
        EXPECT_FALSE(signed_reply(7, vector_body, header)) << header;
    }
}

}  // namespace
