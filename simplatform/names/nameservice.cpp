// The platform's name service behind gethostbyname: the platform's own hosts
// file (Setting::Hosts) first, then dotted IPv4 text as it stands, then
// the operating system's resolver.
//
// The program asks for the same few names over and over (once per recorded
// UPS symbol, and once for the trap's source, for every trap), so both
// sources are cached:
// - the hosts setting (read as every per-turn setting is: settings.h) and
//   the file it names are looked at once per loop turn, at the turn's first
//   lookup; the turn's later lookups use what that one found;
// - the hosts file is parsed once and parsed again when its path, its size
//   or its modification time changes; the file is looked at no more than
//   once a second (kHostsCheckInterval), at a turn's first lookup, so an
//   edit is seen within a second;
//   it is read whole without blocking, only if it is a regular file of at
//   most kMaxHostsFileBytes (16 MiB), otherwise it gives no names;
// - the resolver's answers, found and not found alike, are kept for
//   kResolverLifetime (5 s) and at most kResolverCacheSize (256) names, so a
//   resolver that is slow or unreachable costs one wait per name per 5 s.
// A name that resolves nowhere never yields an address.
//
// Like the socket library's, the result is one static record that the next
// call overwrites. Single thread, as everything in the platform.
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include <ws2tcpip.h>
#endif

#include "../../platform/sockets.h"
#include "../os/regularfile.h"
#include "../runtime/handover.h"
#include "../runtime/settings.h"

namespace simplatform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHostsCheckInterval = std::chrono::seconds(1);
constexpr auto kResolverLifetime = std::chrono::seconds(5);
constexpr size_t kResolverCacheSize = 256;
constexpr size_t kMaxNameLength = 1024;
// Read whole and kept parsed, so capped like the map file.
constexpr size_t kMaxHostsFileBytes = 16u << 20;

struct Answer {
    in_addr address{};
    std::string name;                  // the official name
    std::vector<std::string> aliases;  // the other names of a hosts line
};

struct HostsFile {
    std::string path;            // empty: none read yet
    std::filesystem::path file;  // the same, made once per path
    bool exists = false;
    uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    Clock::time_point checked{};
    std::vector<Answer> lines;
    std::unordered_map<std::string, size_t> byName;  // lower-case name: line
};

struct Resolved {
    bool found = false;
    Answer answer;
    Clock::time_point expires{};
};

struct NameService {
    // Whether this turn's first lookup has read the hosts setting and
    // brought the file it names up to date, and whether there was one.
    bool hostsChecked = false;
    bool hostsSet = false;
    HostsFile hosts;
    std::unordered_map<std::string, Resolved> resolved;
    std::string key;  // reused for each lookup's lower-case name

    // The record handed out, and what it points into.
    Answer result;  // the answer for dotted text
    std::vector<char*> aliasPointers;
    in_addr resultAddress{};
    char* addressList[2] = {nullptr, nullptr};
    hostent entry{};
};

NameService& nameService()
{
    static auto* instance = new NameService;
    return *instance;
}

void lowerInto(std::string& out, const char* text)
{
    out.assign(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

bool parseDottedQuad(const char* text, in_addr& address)
{
    return inet_pton(AF_INET, text, &address) == 1;
}

// Lines of the form of /etc/hosts: an address, then its names; '#' starts
// a comment. Lines of other address families give no names. The first line
// that names a host wins.
void parseHosts(HostsFile& hosts, const std::string& text)
{
    hosts.lines.clear();
    hosts.byName.clear();
    std::string line, token, key;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        line.assign(text, start, end - start);
        start = end + 1;
        line.erase(std::min(line.find('#'), line.size()));
        std::istringstream words(line);
        in_addr address{};
        if (!(words >> token) || !parseDottedQuad(token.c_str(), address)) {
            continue;
        }
        Answer answer;
        answer.address = address;
        while (words >> token) {
            if (answer.name.empty()) {
                answer.name = token;
            } else {
                answer.aliases.push_back(token);
            }
        }
        if (answer.name.empty()) {
            continue;
        }
        size_t index = hosts.lines.size();
        lowerInto(key, answer.name.c_str());
        hosts.byName.emplace(key, index);
        for (const std::string& alias : answer.aliases) {
            lowerInto(key, alias.c_str());
            hosts.byName.emplace(key, index);
        }
        hosts.lines.push_back(std::move(answer));
    }
}

// Brings the cached hosts file up to date with path, looking at the file at
// most once per kHostsCheckInterval unless the path changed.
void refreshHosts(HostsFile& hosts, const char* path, Clock::time_point now)
{
    bool samePath = hosts.path == path;
    if (samePath && now - hosts.checked < kHostsCheckInterval) {
        return;
    }
    hosts.checked = now;
    if (!samePath) {
        hosts.file = path;
    }
    std::error_code error;
    auto status = std::filesystem::status(hosts.file, error);
    bool exists = !error && std::filesystem::exists(status);
    uintmax_t size = exists && std::filesystem::is_regular_file(status)
                         ? std::filesystem::file_size(hosts.file, error)
                         : 0;
    auto modified = exists ? std::filesystem::last_write_time(hosts.file, error)
                           : std::filesystem::file_time_type{};
    if (error) {
        exists = false;
    }
    if (samePath && exists == hosts.exists && size == hosts.size && modified == hosts.modified) {
        return;
    }
    hosts.path = path;
    hosts.exists = exists;
    hosts.size = size;
    hosts.modified = modified;
    // A missing file gives no names; one that is there but cannot be used
    // (not a regular file, too large, unreadable) is said once per change.
    std::string text, fault;
    if (exists && !readRegularFile(path, kMaxHostsFileBytes, text, fault)) {
        std::fprintf(stderr, "simplatform: hosts file %s: %s; none of its names are used\n", path, fault.c_str());
    }
    parseHosts(hosts, text);
}

void forgetHostsSetting()
{
    nameService().hostsChecked = false;
}

// The hosts file to look in, if any: the setting and the file as they were
// at this turn's first lookup.
const HostsFile* currentHosts(NameService& ns)
{
    if (!ns.hostsChecked) {
        ns.hostsChecked = true;
        atTurnEnd(forgetHostsSetting);
        const char* path = settingValue(Setting::Hosts);
        ns.hostsSet = path != nullptr;
        if (ns.hostsSet) {
            refreshHosts(ns.hosts, path, Clock::now());
        }
    }
    return ns.hostsSet ? &ns.hosts : nullptr;
}

// The operating system's resolver: its hosts file, then DNS.
bool resolve(const std::string& name, Answer& answer)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    answer.address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    answer.name = found->ai_canonname != nullptr ? found->ai_canonname : name;
    answer.aliases.clear();
    freeaddrinfo(found);
    return true;
}

Resolved& resolveCached(NameService& ns, const char* name)
{
    Clock::time_point now = Clock::now();
    auto it = ns.resolved.find(ns.key);
    if (it != ns.resolved.end() && now < it->second.expires) {
        return it->second;
    }
    if (it == ns.resolved.end() && ns.resolved.size() >= kResolverCacheSize) {
        for (auto old = ns.resolved.begin(); old != ns.resolved.end();) {
            old = now >= old->second.expires ? ns.resolved.erase(old) : std::next(old);
        }
        if (ns.resolved.size() >= kResolverCacheSize) {
            auto soonest = std::min_element(
                ns.resolved.begin(), ns.resolved.end(),
                [](const auto& a, const auto& b) { return a.second.expires < b.second.expires; });
            ns.resolved.erase(soonest);
        }
    }
    Resolved& entry = ns.resolved[ns.key];
    entry.found = resolve(name, entry.answer);
    // Expiry counts from the answer, not the question: a slow resolver does
    // not shorten the time its answer is kept.
    entry.expires = Clock::now() + kResolverLifetime;
    return entry;
}

// The record points into the answer as it is kept (a hosts line, a
// resolver answer, or the dotted text's answer in ns.result): nothing is
// copied, and a later call is the first that may change or free it, as
// the record is only good until the next call anyway.
hostent* handOut(NameService& ns, Answer& answer)
{
    ns.aliasPointers.clear();
    for (std::string& alias : answer.aliases) {
        ns.aliasPointers.push_back(&alias[0]);
    }
    ns.aliasPointers.push_back(nullptr);
    ns.resultAddress = answer.address;
    ns.addressList[0] = reinterpret_cast<char*>(&ns.resultAddress);
    ns.addressList[1] = nullptr;

    hostent& h = ns.entry;
    h.h_name = &answer.name[0];
    h.h_aliases = ns.aliasPointers.data();
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = ns.addressList;
    return &h;
}

}  // namespace
}  // namespace simplatform

struct hostent* platformgethostbyname(const char* name)
{
    using namespace simplatform;
    if (name == nullptr || name[0] == '\0' || strlen(name) > kMaxNameLength) {
        return nullptr;
    }
    NameService& ns = nameService();
    lowerInto(ns.key, name);

    if (const HostsFile* hosts = currentHosts(ns)) {
        auto line = hosts->byName.find(ns.key);
        if (line != hosts->byName.end()) {
            return handOut(ns, ns.hosts.lines[line->second]);
        }
    }

    in_addr dotted{};
    if (parseDottedQuad(name, dotted)) {
        ns.result.address = dotted;
        ns.result.name.assign(name);
        ns.result.aliases.clear();
        return handOut(ns, ns.result);
    }

    Resolved& resolved = resolveCached(ns, name);
    return resolved.found ? handOut(ns, resolved.answer) : nullptr;
}
