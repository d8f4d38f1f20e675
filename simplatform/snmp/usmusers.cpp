// Reading the SNMPv3 users file.
#include "usmusers.h"

#include "../os/regularfile.h"

namespace simplatform {
namespace usm {

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// Splits one line (without its newline) into words; a word that starts with
// a quote runs to the same quote. Stops at '#' outside quotes.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& fault)
{
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        std::string word;
        if (line[i] == '"' || line[i] == '\'') {
            char quote = line[i++];
            size_t end = line.find(quote, i);
            if (end == std::string::npos) {
                fault = "unterminated quote";
                return false;
            }
            word = line.substr(i, end - i);
            i = end + 1;
        } else {
            size_t start = i;
            while (i < line.size() && !blank(line[i])) {
                ++i;
            }
            word = line.substr(start, i - start);
        }
        words.push_back(word);
    }
    return true;
}

Key keyOf(Auth auth, std::string& pass)
{
    Key ku = passwordToKey(auth, reinterpret_cast<const uint8_t*>(pass.data()), pass.size());
    pass.assign(pass.size(), '\0');
    pass.clear();
    return ku;
}

std::string cannotDerive(const User& user)
{
    return "the cryptographic library cannot derive the keys of user " + user.name;
}

// One createUser line into user; the fault in words when it is not one.
bool parseLine(const std::vector<std::string>& words, User& user, std::string& fault)
{
    if (words[0] != "createUser") {
        fault = "not a createUser line: " + words[0];
        return false;
    }
    size_t i = 1;
    if (i < words.size() && words[i] == "-e") {
        if (i + 1 >= words.size() || !parseEngineId(words[i + 1], user.engineId)) {
            fault = "-e needs an engine ID of " + std::to_string(kMinEngineId) + " to " +
                    std::to_string(kMaxEngineId) + " bytes in hex";
            return false;
        }
        i += 2;
    }
    if (i >= words.size()) {
        fault = "no user name";
        return false;
    }
    user.name = words[i++];
    if (user.name.empty() || user.name.size() > kMaxName) {
        fault = "a user name has 1 to " + std::to_string(kMaxName) + " bytes";
        return false;
    }
    if (i == words.size()) {
        return true;  // noAuthNoPriv
    }
    if (!authNamed(words[i], user.auth)) {
        fault = "unknown authentication protocol " + words[i];
        return false;
    }
    if (++i == words.size()) {
        fault = "no authentication pass phrase";
        return false;
    }
    const std::string& authPass = words[i++];
    if (authPass.size() < kMinPass) {
        fault = "authentication pass phrase shorter than " + std::to_string(kMinPass) + " characters";
        return false;
    }
    std::string privPass = authPass;
    if (i < words.size()) {
        if (!privNamed(words[i], user.priv)) {
            fault = "unknown privacy protocol " + words[i];
            return false;
        }
        if (++i < words.size()) {
            privPass = words[i++];
            if (privPass.size() < kMinPass) {
                fault = "privacy pass phrase shorter than " + std::to_string(kMinPass) + " characters";
                return false;
            }
        }
    }
    if (i < words.size()) {
        fault = "unexpected " + words[i] + " after the pass phrases";
        return false;
    }
    user.authPass = authPass;
    if (user.priv != Priv::None) {
        user.privPass = privPass;
    }
    return true;
}

}  // namespace

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool parseEngineId(const std::string& text, std::vector<uint8_t>& id)
{
    size_t start = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    size_t digits = text.size() - start;
    if (digits % 2 != 0 || digits / 2 < kMinEngineId || digits / 2 > kMaxEngineId) {
        return false;
    }
    id.clear();
    for (size_t i = start; i < text.size(); i += 2) {
        int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        id.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool parseUsers(const std::string& text, const std::string& file, std::vector<User>& users, std::string& error)
{
    users.clear();
    std::vector<std::string> words;
    size_t lineNumber = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        std::string fault;
        User user;
        if (line.find('\0') != std::string::npos) {
            fault = "NUL byte in the line";
        } else if (splitWords(line, words, fault) && !words.empty() && parseLine(words, user, fault)) {
            for (const User& other : users) {
                if (other.name == user.name && other.engineId == user.engineId) {
                    fault = "user " + user.name + " defined twice";
                }
            }
            if (fault.empty() && users.size() == kMaxUsers) {
                fault = "more than " + std::to_string(kMaxUsers) + " users";
            }
            if (fault.empty()) {
                users.push_back(std::move(user));
            }
        }
        if (!fault.empty()) {
            error = file;
            error += ":" + std::to_string(lineNumber) + ": " + fault;
            users.clear();
            return false;
        }
    }
    return true;
}

bool keysDerived(const User& user)
{
    return user.auth == Auth::None ||
           (user.authKu.length != 0 && (user.priv == Priv::None || user.privKu.length != 0));
}

bool deriveKeys(User& user)
{
    if (keysDerived(user)) {
        return true;
    }
    user.authKu = keyOf(user.auth, user.authPass);
    if (user.priv != Priv::None) {
        user.privKu = keyOf(user.auth, user.privPass);
    }
    return keysDerived(user);
}

bool deriveKeys(std::vector<User>& users, std::string& error)
{
    for (User& user : users) {
        if (!deriveKeys(user)) {
            error = cannotDerive(user);
            return false;
        }
    }
    return true;
}

bool checkKeysCanBeDerived(const std::vector<User>& users, std::string& error)
{
    for (const User& user : users) {
        if (user.auth != Auth::None && !canHash(user.auth)) {
            error = cannotDerive(user);
            return false;
        }
    }
    return true;
}

bool readUsers(const std::string& path, std::vector<User>& users, std::string& error)
{
    users.clear();
    std::string text, fault;
    if (!readRegularFile(path, kMaxUsersFile, text, fault)) {
        error = path + ": " + fault;
        return false;
    }
    return parseUsers(text, path, users, error);
}

bool loadUsers(const std::string& path, std::vector<User>& users, std::string& error)
{
    return readUsers(path, users, error) && deriveKeys(users, error);
}

}  // namespace usm
}  // namespace simplatform
