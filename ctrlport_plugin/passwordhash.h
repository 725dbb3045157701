// The text form under which passwords are compared: Base64 of the password's SHA-1 digest.
#ifndef CTRLPORT_PASSWORDHASH_H
#define CTRLPORT_PASSWORDHASH_H

#include <cstddef>
#include <string>

// Standard Base64 (RFC 4648 alphabet, "=" padding) of `length` bytes. The caller's buffer is only
// read.
std::string base64Encode(const unsigned char* data, std::size_t length);

// Base64 of the SHA-1 digest of the text's bytes: always 28 characters, the last one "=".
std::string sha1Base64(const std::string& text);

#endif
