#include "openssl_sha1.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

std::string opensslSha1Base64(const std::string& bytes)
{
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder && *folder ? folder : "/tmp") + "/sha1_input.bin";
    std::ofstream(path, std::ios::binary) << bytes;
    const std::string command = "openssl sha1 -binary '" + path + "' | base64";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    std::string output;
    char chunk[128];
    while (std::fgets(chunk, sizeof chunk, pipe))
        output += chunk;
    ::pclose(pipe);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}
