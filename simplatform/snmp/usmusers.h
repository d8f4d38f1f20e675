// The file of SNMPv3 users (the UsmUsers setting): one line per user in
// the createUser form of snmptrapd.conf,
//   createUser [-e ENGINEID] NAME [AUTHPROTO AUTHPASS [PRIVPROTO [PRIVPASS]]]
// with '#' starting a comment. A pass phrase may be quoted ("..." or '...')
// to hold blanks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usmcrypto.h"

namespace simplatform {
namespace usm {

constexpr size_t kMaxUsersFile = 1 << 20;  // bytes
constexpr size_t kMaxUsers = 1024;
constexpr size_t kMaxName = 32;     // SnmpAdminString of a securityName
constexpr size_t kMinEngineId = 5;  // RFC 3411's SnmpEngineID
constexpr size_t kMaxEngineId = 32;
constexpr size_t kMinPass = 8;  // characters of a pass phrase

struct User {
    std::string name;
    std::vector<uint8_t> engineId;  // empty: any sender's engine
    Auth auth = Auth::None;
    Priv priv = Priv::None;
    Key authKu;
    Key privKu;
    // As read, until deriveKeys turns them into authKu and privKu.
    std::string authPass;
    std::string privPass;
};

// An engine ID from text in hex (an optional 0x, 5 to 32 bytes).
bool parseEngineId(const std::string& text, std::vector<uint8_t>& id);

// Parses the text of a users file. On a fault returns false and sets error
// to "FILE:LINE: FAULT"; file names the file in the text.
bool parseUsers(const std::string& text, const std::string& file, std::vector<User>& users, std::string& error);

// True when the user's pass phrases have become keys, or it has none.
bool keysDerived(const User& user);
// Turns the user's pass phrases into keys (1 MiB of hashing each) and
// forgets them; true at once when they are keys already, false when the
// cryptographic library fails.
bool deriveKeys(User& user);
// deriveKeys for every user; the first failure names its user in error.
bool deriveKeys(std::vector<User>& users, std::string& error);
// Without hashing anything: false, with the text deriveKeys would give,
// when the cryptographic library cannot derive some user's keys.
bool checkKeysCanBeDerived(const std::vector<User>& users, std::string& error);

// Reads and parses the users file at path: a regular file of at most
// kMaxUsersFile bytes, opened without waiting (readRegularFile). No
// cryptography: the pass phrases are kept for deriveKeys.
bool readUsers(const std::string& path, std::vector<User>& users, std::string& error);

// readUsers, then deriveKeys.
bool loadUsers(const std::string& path, std::vector<User>& users, std::string& error);

}  // namespace usm
}  // namespace simplatform
