// Address text of IPv4 socket addresses.
#include "custom_string_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

std::string ipText(const sockaddr_in& address)
{
    // inet_ntop writes into our buffer (inet_ntoa would share one static buffer between threads).
    char buffer[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer))
        return std::string();
    return std::string(buffer);
}

std::string portText(const sockaddr_in& address)
{
    return uintToString(ntohs(address.sin_port));
}

std::string ipPortText(const sockaddr_in& address)
{
    return ipText(address) + ":" + portText(address);
}
