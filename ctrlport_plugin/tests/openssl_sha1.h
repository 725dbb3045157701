// The reference the password hash tests compare with: the openssl and base64 programs.
#pragma once

#include <string>

// Base64 of the SHA-1 digest of the bytes, as openssl and base64 compute it ("popen failed" when
// the programs cannot be run).
std::string opensslSha1Base64(const std::string& bytes);
