// Base64 and the SHA-1 password hash, against the standard's vectors and against OpenSSL.
#include "openssl_sha1.h"
#include "passwordhash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string encode(const std::string& bytes)
{
    // Exactly as many bytes as the data: a write behind them is caught by the address sanitizer,
    // and the bytes must come back unchanged.
    std::vector<unsigned char> buffer(bytes.begin(), bytes.end());
    const std::vector<unsigned char> before = buffer;
    const std::string text = base64Encode(buffer.data(), buffer.size());
    EXPECT_EQ(before, buffer);
    return text;
}

TEST(PasswordHash, Base64MatchesTheStandardVectors)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& vector : vectors)
        EXPECT_EQ(vector.second, encode(vector.first)) << vector.first;
    // Every bit of the last partial group reaches the text; the alphabet's last two characters.
    EXPECT_EQ("/w==", encode(std::string(1, '\xff')));
    EXPECT_EQ("//8=", encode(std::string(2, '\xff')));
    EXPECT_EQ("+/+/", encode("\xfb\xff\xbf"));
    EXPECT_EQ("AAAA", encode(std::string(3, '\0')));
}

TEST(PasswordHash, DigestOfKnownPasswords)
{
    EXPECT_EQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk=", sha1Base64(""));
    EXPECT_EQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", sha1Base64("abc"));
}

TEST(PasswordHash, DigestAgreesWithOpenSsl)
{
    // Lengths around the 64-byte block and its 8-byte length field, bytes of every value, a blank.
    std::string everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte += static_cast<char>(i);
    const std::string inputs[] = {"",
                                  "abc",
                                  "pass word",
                                  std::string(55, 'x'),
                                  std::string(56, 'x'),
                                  std::string(63, 'x'),
                                  std::string(64, 'x'),
                                  std::string(65, 'x'),
                                  std::string(1000, 'a'),
                                  everyByte};
    for (const std::string& input : inputs) {
        const std::string hash = sha1Base64(input);
        EXPECT_EQ(28u, hash.size());
        EXPECT_EQ('=', hash.back());
        EXPECT_EQ(opensslSha1Base64(input), hash) << "input of " << input.size() << " bytes";
    }
}

} // namespace
