// The socket layer.
#include "net.h"

#include <string.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#endif

namespace simplatform {

bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "\"" + text + "\" is not host:port";
        return false;
    }
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (host.empty()) {
        error = "\"" + text + "\" has no host";
        return false;
    }
    unsigned long number = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!digits || number > 65535) {
        error = "\"" + text + "\" has no valid port (0 to 65535)";
        return false;
    }

    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(number));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve host \"" + host + "\"";
        return false;
    }
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace simplatform
