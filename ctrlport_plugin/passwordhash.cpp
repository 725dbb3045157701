#include "passwordhash.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/uuid/detail/sha1.hpp>

#include <cstdint>
#include <vector>

std::string base64Encode(const unsigned char* data, std::size_t length)
{
    using Encoder = boost::archive::iterators::base64_from_binary<
        boost::archive::iterators::transform_width<std::vector<unsigned char>::const_iterator, 6, 8>>;

    // The encoder works on whole groups of three bytes: encode a copy filled up with zero bytes,
    // then the characters that stem only from the filling become "=".
    const std::size_t filling = (3 - length % 3) % 3;
    std::vector<unsigned char> bytes(data, data + length);
    bytes.resize(length + filling, 0);
    std::string text(Encoder(bytes.cbegin()), Encoder(bytes.cend()));
    text.replace(text.size() - filling, filling, filling, '=');
    return text;
}

std::string sha1Base64(const std::string& text)
{
    boost::uuids::detail::sha1 hash;
    hash.process_bytes(text.data(), text.size());
    boost::uuids::detail::sha1::digest_type words;
    hash.get_digest(words);
    // The digest's bytes in their standard order: each word most significant byte first.
    unsigned char digest[20];
    for (std::size_t i = 0; i < 5; ++i) {
        const uint32_t word = static_cast<uint32_t>(words[i]);
        digest[4 * i] = static_cast<unsigned char>(word >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(word >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(word >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(word);
    }
    return base64Encode(digest, sizeof digest);
}
