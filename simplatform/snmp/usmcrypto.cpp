// libgcrypt behind the user-based security model: hashes, HMAC and ciphers.
#include "usmcrypto.h"

#include <gcrypt.h>
#include <stdarg.h>
#include <stdio.h>

#include <cstring>

namespace simplatform {
namespace usm {

namespace {

int hashAlgorithm(Auth auth)
{
    switch (auth) {
    case Auth::Md5:
        return GCRY_MD_MD5;
    case Auth::Sha1:
        return GCRY_MD_SHA1;
    case Auth::Sha224:
        return GCRY_MD_SHA224;
    case Auth::Sha256:
        return GCRY_MD_SHA256;
    case Auth::Sha384:
        return GCRY_MD_SHA384;
    case Auth::Sha512:
        return GCRY_MD_SHA512;
    case Auth::None:
        break;
    }
    return GCRY_MD_NONE;
}

int macAlgorithm(Auth auth)
{
    switch (auth) {
    case Auth::Md5:
        return GCRY_MAC_HMAC_MD5;
    case Auth::Sha1:
        return GCRY_MAC_HMAC_SHA1;
    case Auth::Sha224:
        return GCRY_MAC_HMAC_SHA224;
    case Auth::Sha256:
        return GCRY_MAC_HMAC_SHA256;
    case Auth::Sha384:
        return GCRY_MAC_HMAC_SHA384;
    case Auth::Sha512:
        return GCRY_MAC_HMAC_SHA512;
    case Auth::None:
        break;
    }
    return GCRY_MAC_NONE;
}

int cipherAlgorithm(Priv priv)
{
    switch (priv) {
    case Priv::Des:
        return GCRY_CIPHER_DES;
    case Priv::Aes128:
        return GCRY_CIPHER_AES128;
    case Priv::Aes192:
    case Priv::Aes192C:
        return GCRY_CIPHER_AES192;
    case Priv::Aes256:
    case Priv::Aes256C:
        return GCRY_CIPHER_AES256;
    case Priv::None:
        break;
    }
    return GCRY_CIPHER_NONE;
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
    int algorithm = cipherAlgorithm(priv);
    size_t keyLength = privKeyLength(priv);
    if (algorithm == GCRY_CIPHER_NONE || key.length < keyLength) {
        return false;
    }
    uint8_t iv[16];
    size_t ivLength = 16;
    size_t cipherKeyLength = keyLength;
    int mode = GCRY_CIPHER_MODE_CFB;
    if (priv == Priv::Des) {
        if (length % 8 != 0) {
            return false;
        }
        cipherKeyLength = 8;
        ivLength = 8;
        mode = GCRY_CIPHER_MODE_CBC;
        for (size_t i = 0; i < 8; ++i) {
            iv[i] = static_cast<uint8_t>(key.bytes[8 + i] ^ salt[i]);
        }
    } else {
        putBigEndian(iv, boots);
        putBigEndian(iv + 4, time);
        std::memcpy(iv + 8, salt, kSaltLength);
    }
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, algorithm, mode, 0) != 0) {
        return false;
    }
    gcry_error_t keyError = gcry_cipher_setkey(handle, key.bytes, cipherKeyLength);
    // A weak DES key is still set; the sender chose it.
    bool ok = (keyError == 0 || gcry_err_code(keyError) == GPG_ERR_WEAK_KEY) &&
              gcry_cipher_setiv(handle, iv, ivLength) == 0 &&
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

size_t hashLength(Auth auth)
{
    int algorithm = hashAlgorithm(auth);
    return algorithm == GCRY_MD_NONE ? 0 : gcry_md_get_algo_dlen(algorithm);
}

size_t digestLength(Auth auth)
{
    switch (auth) {
    case Auth::Md5:
    case Auth::Sha1:
        return 12;
    case Auth::Sha224:
        return 16;
    case Auth::Sha256:
        return 24;
    case Auth::Sha384:
        return 32;
    case Auth::Sha512:
        return 48;
    case Auth::None:
        break;
    }
    return 0;
}

size_t privKeyLength(Priv priv)
{
    switch (priv) {
    case Priv::Des:
    case Priv::Aes128:
        return 16;
    case Priv::Aes192:
    case Priv::Aes192C:
        return 24;
    case Priv::Aes256:
    case Priv::Aes256C:
        return 32;
    case Priv::None:
        break;
    }
    return 0;
}

Key passwordToKey(Auth auth, const uint8_t* pass, size_t passLength)
{
    Key ku;
    int algorithm = hashAlgorithm(auth);
    gcry_md_hd_t handle = nullptr;
    if (algorithm == GCRY_MD_NONE || passLength == 0 || !startCrypto() ||
        gcry_md_open(&handle, algorithm, 0) != 0) {
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
    ku.length = hashLength(auth);
    std::memcpy(ku.bytes, gcry_md_read(handle, algorithm), ku.length);
    gcry_md_close(handle);
    return ku;
}

Key localize(Auth auth, const Key& ku, const uint8_t* engine, size_t engineLength)
{
    Key kul;
    int algorithm = hashAlgorithm(auth);
    gcry_md_hd_t handle = nullptr;
    if (algorithm == GCRY_MD_NONE || ku.length == 0 || !startCrypto() ||
        gcry_md_open(&handle, algorithm, 0) != 0) {
        return kul;
    }
    gcry_md_write(handle, ku.bytes, ku.length);
    gcry_md_write(handle, engine, engineLength);
    gcry_md_write(handle, ku.bytes, ku.length);
    kul.length = hashLength(auth);
    std::memcpy(kul.bytes, gcry_md_read(handle, algorithm), kul.length);
    gcry_md_close(handle);
    return kul;
}

Key privacyKey(Auth auth, Priv priv, const Key& privKu, const uint8_t* engine, size_t engineLength)
{
    Key key = localize(auth, privKu, engine, engineLength);
    size_t need = privKeyLength(priv);
    if (key.length == 0 || need == 0) {
        return Key{};
    }
    bool reeder = priv == Priv::Aes192C || priv == Priv::Aes256C;
    // Each round appends the hash of the whole key so far, or (reeder) the
    // key so far taken as a pass phrase and localised.
    while (key.length < need) {
        Key more;
        if (reeder) {
            more = localize(auth, passwordToKey(auth, key.bytes, key.length), engine, engineLength);
        } else {
            more.length = hashLength(auth);
            gcry_md_hash_buffer(hashAlgorithm(auth), more.bytes, key.bytes, key.length);
        }
        if (more.length == 0) {
            return Key{};
        }
        size_t take = need - key.length < more.length ? need - key.length : more.length;
        std::memcpy(key.bytes + key.length, more.bytes, take);
        key.length += take;
    }
    key.length = need;
    return key;
}

bool digest(Auth auth, const Key& authKey, const uint8_t* data, size_t length, uint8_t* out)
{
    int algorithm = macAlgorithm(auth);
    gcry_mac_hd_t handle = nullptr;
    if (algorithm == GCRY_MAC_NONE || !startCrypto() || gcry_mac_open(&handle, algorithm, 0, nullptr) != 0) {
        return false;
    }
    uint8_t full[kMaxKey];
    size_t fullLength = sizeof full;
    bool ok = gcry_mac_setkey(handle, authKey.bytes, authKey.length) == 0 &&
              gcry_mac_write(handle, data, length) == 0 && gcry_mac_read(handle, full, &fullLength) == 0 &&
              fullLength >= digestLength(auth);
    gcry_mac_close(handle);
    if (ok) {
        std::memcpy(out, full, digestLength(auth));
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
