// Records handed to the program, the platform's counters and its settings.
#include <stdlib.h>
#include <string.h>

#include <vector>

#ifdef _WIN32
#include <ws2tcpip.h>
#endif

#include "internal.h"

namespace simplatform {
namespace {

// Lives until the process ends, like every record still in it: the program
// may exit from inside a handler.
std::vector<std::function<void()>>& pendingReleases()
{
    static auto* releases = new std::vector<std::function<void()>>;
    return *releases;
}

}  // namespace

void keepUntilNextMessage(std::function<void()> release)
{
    if (release) {
        pendingReleases().push_back(std::move(release));
    }
}

void releaseReturnedRecords()
{
    auto& releases = pendingReleases();
    // By index: a release may itself keep something, which is then released
    // in this same pass. clear() keeps the capacity for the next message.
    for (size_t i = 0; i < releases.size(); ++i) {
        std::function<void()> release = std::move(releases[i]);
        release();
    }
    releases.clear();
}

Stats& stats()
{
    static Stats counters;
    return counters;
}

// An empty value counts as unset, so that `NAME= kelvorov` switches a
// setting off as a shell user expects.
std::string setting(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    if (value == nullptr || value[0] == '\0') {
        return fallback != nullptr ? fallback : "";
    }
    return value;
}

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
