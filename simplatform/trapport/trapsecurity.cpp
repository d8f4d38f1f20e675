// The trap port's SNMPv3 security, from the settings to the security model.
#include "trapsecurity.h"

#include <time.h>

#include <chrono>

#include "../os/net.h"
#include "../runtime/loop.h"
#include "../runtime/settings.h"
#include "../snmp/usmusers.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace simplatform {
namespace {

// Lives until the process ends: the program may exit from inside a callback.
usm::Security& security()
{
    static auto* instance = new usm::Security;
    return *instance;
}

// What configureTrapSecurity read at start, until the first trap session
// opens and security() is configured with it.
struct PendingSecurity {
    bool pending = false;
    std::vector<usm::User> users;
    std::vector<uint8_t> engineId;  // empty: derived from the host name
};

PendingSecurity& pendingSecurity()
{
    static auto* instance = new PendingSecurity;
    return *instance;
}

EngineBootsKeeper& bootsKeeper()
{
    static EngineBootsKeeper keeper = nullptr;
    return keeper;
}

constexpr int64_t kBootsEpoch = 1735689600;  // 2025-01-01T00:00:00Z

uint64_t monotonicSeconds()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

std::vector<uint8_t> engineIdOfThisHost()
{
    char host[256] = {};
#ifdef _WIN32
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
#else
    gethostname(host, sizeof host - 1);
#endif
    return usm::engineIdFromHost(host);
}

}  // namespace

bool configureTrapSecurity(std::string& error)
{
    PendingSecurity next;
    std::string path = setting(Setting::UsmUsers);
    if (!path.empty() && !usm::readUsers(path, next.users, error)) {
        return false;
    }
    std::string idText = setting(Setting::EngineId);
    if (!idText.empty() && !usm::parseEngineId(idText, next.engineId)) {
        error = std::string(settingName(Setting::EngineId)) + ": \"" + idText + "\" is not an engine ID of " +
                std::to_string(usm::kMinEngineId) + " to " + std::to_string(usm::kMaxEngineId) + " bytes in hex";
        return false;
    }
    next.pending = true;
    pendingSecurity() = std::move(next);
    return true;
}

bool startTrapSecurity(std::string& error)
{
    PendingSecurity& p = pendingSecurity();
    if (!p.pending) {
        return true;
    }
    if (!usm::checkKeysCanBeDerived(p.users, error)) {
        return false;
    }
    if (p.engineId.empty()) {
        p.engineId = engineIdOfThisHost();
    }
    // Taken here, before the first answer that carries them.
    uint32_t boots = engineBootsFromClock(static_cast<int64_t>(time(nullptr)));
    if (EngineBootsKeeper keeper = bootsKeeper()) {
        boots = keeper(boots);
    }
    security().configure(std::move(p.users), std::move(p.engineId), boots, monotonicSeconds());
    p = PendingSecurity{};
    // The users' keys are derived from here on, one user a turn of the
    // loop, so that the trap port opens at once (a pass phrase is 1 MiB of
    // hashing: a file of 1,024 users held the start for seconds). A message
    // for a user not reached yet has its keys derived when it comes.
    static int timer = 0;
    stopTimer(timer);
    timer = 0;
    if (security().enabled()) {
        timer = startTimer(std::chrono::milliseconds(1), [] {
            if (!security().deriveNextKeys()) {
                stopTimer(timer);
                timer = 0;
            }
        });
    }
    return true;
}

uint32_t engineBootsFromClock(int64_t now)
{
    int64_t boots = now - kBootsEpoch;
    return boots < 1 ? 1 : boots >= int64_t{usm::kMaxBoots} ? usm::kMaxBoots - 1 : static_cast<uint32_t>(boots);
}

void setEngineBootsKeeper(EngineBootsKeeper keeper)
{
    bootsKeeper() = keeper;
}

size_t trapUsersWithKeys()
{
    return security().usersWithKeys();
}

usm::Outcome receiveSecured(const uint8_t* data, size_t size, ber::Message& out, std::vector<uint8_t>& reply)
{
    return security().receive(data, size, monotonicSeconds(), out, reply);
}

}  // namespace simplatform
