#include "cryptwrapper.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

QString testKeyDir()
{
    return qEnvironmentVariable("VXM_SOURCE_DIR") + "/testing/updateserver/keys";
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Signs data with the test private key the way the release tool does.
QByteArray opensslSign(const QByteArray& data)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("data"), out = dir.filePath("data.sig");
    QFile f(in);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return {};
    f.close();
    QProcess openssl;
    openssl.start("openssl", {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
                              "-sign", testKeyDir() + "/test_private.pem", "-out", out, in});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return {};
    return readFile(out);
}

bool verifyWithBuiltinKey(const QByteArray& data, const QByteArray& sig)
{
    const EmbeddedKey der = builtinPublicKey();
    auto key = importPublicKey(der.data, der.size);
    return verifyPssSignature(*key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(),
                              reinterpret_cast<const unsigned char*>(sig.constData()), sig.size());
}

// What a check makes of it: a library error counts as a rejection.
bool accepted(const QByteArray& data, const QByteArray& sig)
{
    try {
        return verifyWithBuiltinKey(data, sig);
    } catch (const crypt_exception&) {
        return false;
    }
}

// Checks run on several threads at once, each with its own key and hash state; the first
// use may also be the one that registers the library's descriptors.
TEST(CryptThreads, ParallelChecksAgree)
{
    const QByteArray data = "parallel checks";
    const QByteArray sig = opensslSign(data);
    ASSERT_EQ(128, sig.size());
    QByteArray bad = sig;
    bad[3] = char(bad[3] ^ 1);
    std::atomic<int> passed{0}, rejected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const bool good = (t + i) % 2 == 0;
                if (accepted(data, good ? sig : bad) == good)
                    (good ? passed : rejected)++;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(60, passed.load());
    EXPECT_EQ(60, rejected.load());
}

class CryptTest : public ::testing::Test
{
protected:
    void SetUp() override { initCrypto(); }
};

TEST_F(CryptTest, EmbeddedTestKeyIsTheOneUnderTesting)
{
    const QByteArray der = readFile(testKeyDir() + "/test_public.der");
    const EmbeddedKey key = builtinPublicKey();
    ASSERT_EQ(140u, key.size);
    EXPECT_EQ(der, QByteArray(reinterpret_cast<const char*>(key.data), int(key.size)));
}

TEST_F(CryptTest, AcceptsOpensslSignaturesAndRejectsTampering)
{
    const QByteArray data = "[files]\nupdate=0123456789abcdef0123456789abcdef::42\n";
    const QByteArray sig = opensslSign(data);
    ASSERT_EQ(128, sig.size());
    EXPECT_TRUE(verifyWithBuiltinKey(data, sig));

    QByteArray changed = data;
    changed[10] = char(changed[10] ^ 0x01);
    EXPECT_FALSE(accepted(changed, sig));

    for (int pos : {0, 64, 127}) {
        QByteArray badSig = sig;
        badSig[pos] = char(badSig[pos] ^ 0x80);
        EXPECT_FALSE(accepted(data, badSig)) << "flipped signature byte " << pos;
    }
}

TEST_F(CryptTest, EmptyDataCanBeSigned)
{
    const QByteArray sig = opensslSign(QByteArray());
    ASSERT_EQ(128, sig.size());
    EXPECT_TRUE(verifyWithBuiltinKey(QByteArray(), sig));
}

TEST_F(CryptTest, LibraryErrorsThrowWithTheOperationName)
{
    const QByteArray data = "abc";
    const QByteArray sig = opensslSign(data);
    try {
        verifyWithBuiltinKey(data, sig.left(100));
        FAIL() << "a short signature must throw";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("rsa_verify_hash: ", 0)) << e.what();
    }
    EXPECT_THROW(verifyWithBuiltinKey(data, sig + "x"), crypt_exception);

    const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    try {
        importPublicKey(garbage, sizeof garbage);
        FAIL() << "a malformed key must throw";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("rsa_import: ", 0)) << e.what();
    }
}

TEST(CryptException, CarriesItsText)
{
    EXPECT_STREQ("Error registering sha1", crypt_exception("Error registering sha1").what());
    EXPECT_NO_THROW(checkCrypt("op", 0));
    EXPECT_THROW(checkCrypt("op", 1), crypt_exception);
}

} // namespace
