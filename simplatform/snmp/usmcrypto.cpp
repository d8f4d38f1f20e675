// libgcrypt behind the user-based security model: one table of
// authentication protocols and one of privacy protocols, and the hashes,
// HMAC and ciphers they name.
#include "usmcrypto.h"

#include <gcrypt.h>
#include <stdarg.h>
#include <stdio.h>

#include <cstring>
#include <iterator>

namespace simplatform {
namespace usm {

namespace {

struct AuthProtocol {
    Auth auth;
    const char* names[2];  // as a users file spells it; the second may be null
    int hash;              // libgcrypt's hash
    int mac;               // libgcrypt's HMAC of that hash
    size_t keyLength;      // the hash's output: a key's bytes
    size_t digestLength;   // the HMAC cut to this in a message
};

// In the order of Auth.
constexpr AuthProtocol kAuthProtocols[] = {
    {Auth::None, {nullptr, nullptr}, GCRY_MD_NONE, GCRY_MAC_NONE, 0, 0},
    {Auth::Md5, {"MD5", nullptr}, GCRY_MD_MD5, GCRY_MAC_HMAC_MD5, 16, 12},
    {Auth::Sha1, {"SHA", "SHA-1"}, GCRY_MD_SHA1, GCRY_MAC_HMAC_SHA1, 20, 12},
    {Auth::Sha224, {"SHA-224", nullptr}, GCRY_MD_SHA224, GCRY_MAC_HMAC_SHA224, 28, 16},
    {Auth::Sha256, {"SHA-256", nullptr}, GCRY_MD_SHA256, GCRY_MAC_HMAC_SHA256, 32, 24},
    {Auth::Sha384, {"SHA-384", nullptr}, GCRY_MD_SHA384, GCRY_MAC_HMAC_SHA384, 48, 32},
    {Auth::Sha512, {"SHA-512", nullptr}, GCRY_MD_SHA512, GCRY_MAC_HMAC_SHA512, 64, 48},
};

// How a localised key shorter than its cipher needs is made longer.
enum class Extension : uint8_t {
    None,        // never shorter: every hash gives at least 16 bytes
    Hash,        // append the hash of the key so far
    Passphrase,  // append the key so far taken as a pass phrase and localised
};

enum class IvForm : uint8_t {
    None,
    SaltXorPreIv,      // DES: the salt XOR the key's 8 bytes after the cipher's key
    BootsTimeAndSalt,  // AES: engine boots and engine time (big-endian), the salt
};

// How a protocol runs its cipher.
struct CipherMode {
    int mode;  // libgcrypt's
    IvForm iv;
    size_t ivLength;
    size_t blockLength;  // the data is a multiple of it
};

constexpr CipherMode kNoCipher = {GCRY_CIPHER_MODE_NONE, IvForm::None, 0, 1};
constexpr CipherMode kDesCbc = {GCRY_CIPHER_MODE_CBC, IvForm::SaltXorPreIv, 8, 8};
constexpr CipherMode kAesCfb = {GCRY_CIPHER_MODE_CFB, IvForm::BootsTimeAndSalt, 16, 1};

struct PrivProtocol {
    Priv priv;
    const char* names[2];
    int cipher;  // libgcrypt's
    CipherMode mode;
    size_t keyLength;        // bytes of localised key the protocol takes
    size_t cipherKeyLength;  // of them, the cipher's key
    Extension extension;
};

// In the order of Priv.
constexpr PrivProtocol kPrivProtocols[] = {
    {Priv::None, {nullptr, nullptr}, GCRY_CIPHER_NONE, kNoCipher, 0, 0, Extension::None},
    {Priv::Des, {"DES", nullptr}, GCRY_CIPHER_DES, kDesCbc, 16, 8, Extension::None},
    {Priv::Aes128, {"AES", "AES-128"}, GCRY_CIPHER_AES128, kAesCfb, 16, 16, Extension::None},
    {Priv::Aes192, {"AES-192", nullptr}, GCRY_CIPHER_AES192, kAesCfb, 24, 24, Extension::Hash},
    {Priv::Aes256, {"AES-256", nullptr}, GCRY_CIPHER_AES256, kAesCfb, 32, 32, Extension::Hash},
    {Priv::Aes192C, {"AES-192C", "AES-192-C"}, GCRY_CIPHER_AES192, kAesCfb, 24, 24, Extension::Passphrase},
    {Priv::Aes256C, {"AES-256C", "AES-256-C"}, GCRY_CIPHER_AES256, kAesCfb, 32, 32, Extension::Passphrase},
};

constexpr bool tablesInOrder()
{
    for (size_t i = 0; i < std::size(kAuthProtocols); ++i) {
        if (static_cast<size_t>(kAuthProtocols[i].auth) != i || kAuthProtocols[i].keyLength > kMaxKey ||
            kAuthProtocols[i].digestLength > kMaxDigest) {
            return false;
        }
    }
    for (size_t i = 0; i < std::size(kPrivProtocols); ++i) {
        if (static_cast<size_t>(kPrivProtocols[i].priv) != i || kPrivProtocols[i].keyLength > kMaxKey ||
            kPrivProtocols[i].mode.ivLength > 16) {
            return false;
        }
    }
    return true;
}
static_assert(tablesInOrder(), "each protocol table lists its enum in order, within the key and IV sizes");

const AuthProtocol& protocolOf(Auth auth)
{
    size_t i = static_cast<size_t>(auth);
    return kAuthProtocols[i < std::size(kAuthProtocols) ? i : 0];
}

const PrivProtocol& protocolOf(Priv priv)
{
    size_t i = static_cast<size_t>(priv);
    return kPrivProtocols[i < std::size(kPrivProtocols) ? i : 0];
}

bool sameName(const std::string& a, const char* b)
{
    if (b == nullptr || a.size() != std::strlen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

// The row of rows whose names hold name (the first row, none, is never
// named); null when none does.
template <typename Row, size_t N> const Row* rowNamed(const Row (&rows)[N], const std::string& name)
{
    for (size_t i = 1; i < N; ++i) {
        if (sameName(name, rows[i].names[0]) || sameName(name, rows[i].names[1])) {
            return &rows[i];
        }
    }
    return nullptr;
}

void putBigEndian(uint8_t* out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

// Runs the cipher over data in place; encrypting or decrypting.
bool runCipher(Priv priv, const Key& key, uint32_t boots, uint32_t time, const uint8_t* salt, uint8_t* data,
               size_t length, bool encrypting)
{
    const PrivProtocol& p = protocolOf(priv);
    const CipherMode& mode = p.mode;
    if (mode.iv == IvForm::None || key.length < p.keyLength || length % mode.blockLength != 0) {
        return false;
    }
    uint8_t iv[16];
    if (mode.iv == IvForm::SaltXorPreIv) {
        for (size_t i = 0; i < mode.ivLength; ++i) {
            iv[i] = static_cast<uint8_t>(key.bytes[p.cipherKeyLength + i] ^ salt[i]);
        }
    } else {
        putBigEndian(iv, boots);
        putBigEndian(iv + 4, time);
        std::memcpy(iv + 8, salt, kSaltLength);
    }
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, p.cipher, mode.mode, 0) != 0) {
        return false;
    }
    gcry_error_t keyError = gcry_cipher_setkey(handle, key.bytes, p.cipherKeyLength);
    // A weak DES key is still set; the sender chose it.
    bool ok = (keyError == 0 || gcry_err_code(keyError) == GPG_ERR_WEAK_KEY) &&
              gcry_cipher_setiv(handle, iv, mode.ivLength) == 0 &&
              (encrypting ? gcry_cipher_encrypt(handle, data, length, nullptr, 0)
                          : gcry_cipher_decrypt(handle, data, length, nullptr, 0)) == 0;
    gcry_cipher_close(handle);
    return ok;
}

// The library's warnings and errors go to standard error, named as its;
// its notes are dropped (on Windows its entropy gatherer notes that disk
// statistics are off, which says nothing about the platform), and so is
// the rest of a line whose start was dropped.
void logFromLibrary(void*, int level, const char* format, va_list args)
{
    static bool lineDropped = false;
    if (level == GCRY_LOG_CONT ? lineDropped : level == GCRY_LOG_INFO || level == GCRY_LOG_DEBUG) {
        lineDropped = true;
        return;
    }
    if (level != GCRY_LOG_CONT) {
        fputs("simplatform: libgcrypt: ", stderr);
    }
    lineDropped = false;
    vfprintf(stderr, format, args);
}

}  // namespace

bool startCrypto()
{
    static const bool started = [] {
        gcry_set_log_handler(logFromLibrary, nullptr);
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            return false;
        }
        // No secret is kept long enough to need locked memory.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return started;
}

bool authNamed(const std::string& name, Auth& auth)
{
    const AuthProtocol* p = rowNamed(kAuthProtocols, name);
    if (p != nullptr) {
        auth = p->auth;
    }
    return p != nullptr;
}

bool privNamed(const std::string& name, Priv& priv)
{
    const PrivProtocol* p = rowNamed(kPrivProtocols, name);
    if (p != nullptr) {
        priv = p->priv;
    }
    return p != nullptr;
}

size_t digestLength(Auth auth)
{
    return protocolOf(auth).digestLength;
}

size_t privBlockLength(Priv priv)
{
    return protocolOf(priv).mode.blockLength;
}

bool extendsAsPassphrase(Auth auth, Priv priv)
{
    const PrivProtocol& p = protocolOf(priv);
    return p.extension == Extension::Passphrase && protocolOf(auth).keyLength < p.keyLength;
}

bool canHash(Auth auth)
{
    const AuthProtocol& p = protocolOf(auth);
    return p.hash != GCRY_MD_NONE && startCrypto() && gcry_md_test_algo(p.hash) == 0 &&
           gcry_mac_test_algo(p.mac) == 0;
}

Key hash(Auth auth, const uint8_t* data, size_t length)
{
    Key out;
    const AuthProtocol& p = protocolOf(auth);
    if (p.hash != GCRY_MD_NONE && startCrypto()) {
        gcry_md_hash_buffer(p.hash, out.bytes, data, length);
        out.length = p.keyLength;
    }
    return out;
}

Key passwordToKey(Auth auth, const uint8_t* pass, size_t passLength)
{
    Key ku;
    const AuthProtocol& p = protocolOf(auth);
    gcry_md_hd_t handle = nullptr;
    if (p.hash == GCRY_MD_NONE || passLength == 0 || !startCrypto() || gcry_md_open(&handle, p.hash, 0) != 0) {
        return ku;
    }
    // 1 MiB of the pass phrase repeated, fed 64 bytes at a time.
    uint8_t block[64];
    size_t index = 0;
    for (size_t count = 0; count < (1u << 20); count += sizeof block) {
        for (uint8_t& b : block) {
            b = pass[index++ % passLength];
        }
        gcry_md_write(handle, block, sizeof block);
    }
    ku.length = p.keyLength;
    std::memcpy(ku.bytes, gcry_md_read(handle, p.hash), ku.length);
    gcry_md_close(handle);
    return ku;
}

Key localize(Auth auth, const Key& ku, const uint8_t* engine, size_t engineLength)
{
    Key kul;
    const AuthProtocol& p = protocolOf(auth);
    gcry_md_hd_t handle = nullptr;
    if (p.hash == GCRY_MD_NONE || ku.length == 0 || !startCrypto() || gcry_md_open(&handle, p.hash, 0) != 0) {
        return kul;
    }
    gcry_md_write(handle, ku.bytes, ku.length);
    gcry_md_write(handle, engine, engineLength);
    gcry_md_write(handle, ku.bytes, ku.length);
    kul.length = p.keyLength;
    std::memcpy(kul.bytes, gcry_md_read(handle, p.hash), kul.length);
    gcry_md_close(handle);
    return kul;
}

Key privacyKey(Auth auth, Priv priv, const Key& privKu, const uint8_t* engine, size_t engineLength)
{
    Key key = localize(auth, privKu, engine, engineLength);
    const PrivProtocol& p = protocolOf(priv);
    if (key.length == 0 || p.keyLength == 0) {
        return Key{};
    }
    // Each round appends the hash of the whole key so far, or the key so far
    // taken as a pass phrase and localised.
    while (key.length < p.keyLength) {
        Key more;
        if (p.extension == Extension::Passphrase) {
            more = localize(auth, passwordToKey(auth, key.bytes, key.length), engine, engineLength);
        } else if (p.extension == Extension::Hash) {
            more = hash(auth, key.bytes, key.length);
        }
        if (more.length == 0) {
            return Key{};
        }
        size_t take = p.keyLength - key.length < more.length ? p.keyLength - key.length : more.length;
        std::memcpy(key.bytes + key.length, more.bytes, take);
        key.length += take;
    }
    key.length = p.keyLength;
    return key;
}

bool digest(Auth auth, const Key& authKey, const uint8_t* data, size_t length, uint8_t* out)
{
    const AuthProtocol& p = protocolOf(auth);
    gcry_mac_hd_t handle = nullptr;
    if (p.mac == GCRY_MAC_NONE || !startCrypto() || gcry_mac_open(&handle, p.mac, 0, nullptr) != 0) {
        return false;
    }
    uint8_t full[kMaxKey];
    size_t fullLength = sizeof full;
    bool ok = gcry_mac_setkey(handle, authKey.bytes, authKey.length) == 0 &&
              gcry_mac_write(handle, data, length) == 0 && gcry_mac_read(handle, full, &fullLength) == 0 &&
              fullLength >= p.digestLength;
    gcry_mac_close(handle);
    if (ok) {
        std::memcpy(out, full, p.digestLength);
    }
    return ok;
}

bool decrypt(Priv priv, const Key& privKey, uint32_t boots, uint32_t time, const uint8_t* salt, uint8_t* data,
             size_t length)
{
    return startCrypto() && runCipher(priv, privKey, boots, time, salt, data, length, false);
}

bool encrypt(Priv priv, const Key& privKey, uint32_t boots, uint32_t time, const uint8_t* salt, uint8_t* data,
             size_t length)
{
    return startCrypto() && runCipher(priv, privKey, boots, time, salt, data, length, true);
}

void nonce(uint8_t* out, size_t length)
{
    startCrypto();
    gcry_create_nonce(out, length);
}

}  // namespace usm
}  // namespace simplatform
