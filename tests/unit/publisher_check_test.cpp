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

PublisherPin pin_of(const std::string& name)
{
    const std::string key = read_all(std::string(TEST_PUBLISHERS) + "/" + name + ".spki");
    PublisherPin pin = {};
    EXPECT_TRUE(!key.empty() && sha256({{key.data(), key.size()}}, pin)) << name;
    return pin;
}

bool installs(const std::string& stand_in, const PublisherPin& pin)
{
    const std::string path = std::string(SIGNED_STAND_INS) + "/" + stand_in + ".exe";
    const std::string bytes = read_all(path);
    EXPECT_FALSE(bytes.empty()) << path;
    return has_pinned_publisher(path, bytes, PublisherPins{&pin, 1});
}

TEST(PublisherCheck, APinCountsOnlyThroughAChainThatVerifiesToACertificateForSigningNow)
{
    const PublisherPin a = pin_of("a");
    EXPECT_TRUE(installs("a", a));
    for (const char* refused : {"forged", "expired", "not-yet-valid", "server-usage"})
        EXPECT_FALSE(installs(refused, a)) << refused;
    EXPECT_FALSE(installs("forged-ca", pin_of("ca")));
}

}  // namespace
