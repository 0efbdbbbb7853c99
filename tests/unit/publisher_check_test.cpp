// The publisher check on the stand-in launcher signed when the tests were
// built (tools/sign_stand_ins): a pin counts for its own key's signature,
// and for none whose chain does not verify link by link up to the pinned
// certificate, nor for the pinned key in a certificate that has expired, is
// not yet valid or is not for code signing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "update/platform_crypto.h"
#include "update/publisher_check.h"

namespace {

std::string read_all(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Whether the launcher signed as stand_in installs under the pin of key.
bool installs(const std::string& stand_in, const std::string& key)
{
    const std::string spki = read_all(std::string(TEST_PUBLISHERS) + "/" + key + ".spki");
    PublisherPin pin = {};
    EXPECT_TRUE(!spki.empty() && sha256({{spki.data(), spki.size()}}, pin)) << key;
    const std::string path = std::string(SIGNED_STAND_INS) + "/" + stand_in + ".exe";
    return has_pinned_publisher(path, read_all(path), PublisherPins{&pin, 1});
}

TEST(PublisherCheck, APinCountsOnlyThroughAChainThatVerifiesToACertificateForSigningNow)
{
    EXPECT_TRUE(installs("a", "a"));
    for (const char* refused : {"forged", "expired", "not-yet-valid", "server-usage"})
        EXPECT_FALSE(installs(refused, "a")) << refused;
    EXPECT_FALSE(installs("forged-ca", "ca"));
}

}  // namespace
