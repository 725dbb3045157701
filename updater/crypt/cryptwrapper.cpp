#include "cryptwrapper.h"

#include <tomcrypt.h>

#include <mutex>

namespace {

constexpr unsigned long pssSaltLength = 8;
constexpr unsigned long sha1Length = 20;

struct CryptState
{
    std::once_flag once;
    bool ok = false;
    std::string failure;
    int sha1Index = -1;
    int prngIndex = -1;
};

CryptState& cryptState()
{
    static CryptState state;
    return state;
}

void registerAll(CryptState& state)
{
    if (register_prng(&sprng_desc) == -1) {
        state.failure = "Error registering sha1";
        return;
    }
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1) {
        state.failure = "Error registering sha1";
        return;
    }
    state.sha1Index = find_hash("sha1");
    state.prngIndex = find_prng("sprng");
    if (state.sha1Index < 0 || state.prngIndex < 0) {
        state.failure = "Error registering sha1";
        return;
    }
    state.ok = true;
}

int sha1Index()
{
    initCrypto();
    return cryptState().sha1Index;
}

} // namespace

crypt_exception::crypt_exception(std::string message)
    : text(std::move(message))
{
}

crypt_exception::crypt_exception(const char* operation, int errorCode)
    : text(std::string(operation) + ": " + error_to_string(errorCode))
{
}

const char* crypt_exception::what() const noexcept
{
    return text.c_str();
}

struct RsaPublicKey::Impl
{
    rsa_key key{};
    bool loaded = false;
};

RsaPublicKey::RsaPublicKey()
    : impl(new Impl)
{
}

RsaPublicKey::~RsaPublicKey()
{
    if (impl->loaded)
        rsa_free(&impl->key);
}

void checkCrypt(const char* operation, int errorCode)
{
    if (errorCode != CRYPT_OK)
        throw crypt_exception(operation, errorCode);
}

void initCrypto()
{
    CryptState& state = cryptState();
    std::call_once(state.once, registerAll, std::ref(state));
    if (!state.ok)
        throw crypt_exception(state.failure);
}

std::unique_ptr<RsaPublicKey> importPublicKey(const unsigned char* der, std::size_t length)
{
    initCrypto();
    std::unique_ptr<RsaPublicKey> key(new RsaPublicKey);
    checkCrypt("rsa_import", rsa_import(der, static_cast<unsigned long>(length), &key->impl->key));
    key->impl->loaded = true;
    return key;
}

bool verifyPssSignature(RsaPublicKey& key, const unsigned char* data, std::size_t dataLength,
                        const unsigned char* signature, std::size_t signatureLength)
{
    const int hashIndex = sha1Index();
    unsigned char hash[sha1Length];
    hash_state md;
    checkCrypt("sha1_init", sha1_init(&md));
    checkCrypt("sha1_process", sha1_process(&md, data, static_cast<unsigned long>(dataLength)));
    checkCrypt("sha1_done", sha1_done(&md, hash));

    int valid = 0;
    checkCrypt("rsa_verify_hash",
               rsa_verify_hash_ex(signature, static_cast<unsigned long>(signatureLength), hash, sha1Length,
                                  LTC_PKCS_1_PSS, hashIndex, pssSaltLength, &valid, &key.impl->key));
    return valid == 1;
}
