#pragma once
// Signature check over libtomcrypt: SHA-1 and RSA-PSS verification with a DER RSAPublicKey.
// Only this wrapper throws; everything else in the updater reports through signals.

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    // "<operation>: <library error text>"
    crypt_exception(const char* operation, int errorCode);
    const char* what() const noexcept override;

private:
    std::string text;
};

// An imported RSA public key; freed with the object.
class RsaPublicKey
{
public:
    ~RsaPublicKey();
    RsaPublicKey(const RsaPublicKey&) = delete;
    RsaPublicKey& operator=(const RsaPublicKey&) = delete;

private:
    friend std::unique_ptr<RsaPublicKey> importPublicKey(const unsigned char* der, std::size_t length);
    friend bool verifyPssSignature(RsaPublicKey& key, const unsigned char* data, std::size_t dataLength,
                                   const unsigned char* signature, std::size_t signatureLength);
    RsaPublicKey();
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Registers the random source, the math library and SHA-1 once per process; later calls only
// report the outcome of the first one. Call it on one thread before any check runs.
void initCrypto();

// Throws "rsa_import: ..." on a malformed key.
std::unique_ptr<RsaPublicKey> importPublicKey(const unsigned char* der, std::size_t length);

// SHA-1 of the data, then RSA-PSS (PKCS #1 v2.1, salt length 8). True only for a valid signature;
// a library error (a signature of the wrong length, say) throws "rsa_verify_hash: ...".
bool verifyPssSignature(RsaPublicKey& key, const unsigned char* data, std::size_t dataLength,
                        const unsigned char* signature, std::size_t signatureLength);

// Nothing for 0; otherwise throws crypt_exception(operation, errorCode).
void checkCrypt(const char* operation, int errorCode);

// The public key built into this program (see builtin_key.cmake).
struct EmbeddedKey
{
    const unsigned char* data;
    std::size_t size;
};
EmbeddedKey builtinPublicKey();
