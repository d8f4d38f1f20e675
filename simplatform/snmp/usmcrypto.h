// The user-based security model's protocols and cryptography, all of it
// from libgcrypt, which no other file calls: pass phrase to key and key
// localisation (RFC 3414 A.2, RFC 7860), the privacy key extensions for
// AES-192/256, HMAC digests truncated as each authentication protocol says,
// and the DES-CBC and AES-CFB ciphers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simplatform {
namespace usm {

enum class Auth : uint8_t {
    None,
    Md5,
    Sha1,
    Sha224,
    Sha256,
    Sha384,
    Sha512
};
// Aes192C and Aes256C extend a short key the other way (the localised key is
// used as a pass phrase again), Aes192 and Aes256 by hashing it. The tables
// of usmcrypto.cpp give each protocol its algorithms and lengths.
enum class Priv : uint8_t {
    None,
    Des,
    Aes128,
    Aes192,
    Aes256,
    Aes192C,
    Aes256C
};

constexpr size_t kMaxKey = 64;     // the longest hash output (SHA-512)
constexpr size_t kMaxDigest = 48;  // the longest truncated digest (SHA-512)
constexpr size_t kSaltLength = 8;  // msgPrivacyParameters of every cipher

struct Key {
    uint8_t bytes[kMaxKey] = {};
    size_t length = 0;
};

// Starts libgcrypt once; false when the library cannot be used.
bool startCrypto();

// The protocol a users file names (as snmptrapd.conf and net-snmp's -a and
// -x options spell it, in any case); false when it names none.
bool authNamed(const std::string& name, Auth& auth);
bool privNamed(const std::string& name, Priv& priv);

// Bytes of auth's digest in a message (12 for MD5 and SHA-1, 16, 24, 32,
// 48 for SHA-224 to SHA-512).
size_t digestLength(Auth auth);
// The cipher's block: what the data it takes is a multiple of (8 for
// DES-CBC, 1 for AES-CFB).
size_t privBlockLength(Priv priv);
// True when priv's key is made longer than auth's hash by taking it as a
// pass phrase again (1 MiB of hashing, not one hash).
bool extendsAsPassphrase(Auth auth, Priv priv);

// True when the library is started and offers auth's hash and HMAC: a
// check that costs no hashing.
bool canHash(Auth auth);
// The hash of auth's algorithm over data; empty when the library fails.
Key hash(Auth auth, const uint8_t* data, size_t length);
// Ku: the pass phrase repeated over 1 MiB and hashed.
Key passwordToKey(Auth auth, const uint8_t* pass, size_t passLength);
// Kul = H(Ku || engine ID || Ku).
Key localize(Auth auth, const Key& ku, const uint8_t* engine, size_t engineLength);
// The localised privacy key for priv: localize(privKu), extended to the
// cipher's length when it is shorter, and cut to that length.
Key privacyKey(Auth auth, Priv priv, const Key& privKu, const uint8_t* engine, size_t engineLength);

// The message's digest (HMAC with the localised key, truncated) into out,
// which holds kMaxDigest bytes.
bool digest(Auth auth, const Key& authKey, const uint8_t* data, size_t length, uint8_t* out);

// The initialisation vector of a cipher: DES: salt XOR the key's pre-IV;
// AES: engine boots, engine time (both big-endian) and the salt.
// Both run in place on data; DES needs a multiple of 8 bytes.
bool decrypt(Priv priv, const Key& privKey, uint32_t boots, uint32_t time, const uint8_t* salt, uint8_t* data,
             size_t length);
bool encrypt(Priv priv, const Key& privKey, uint32_t boots, uint32_t time, const uint8_t* salt, uint8_t* data,
             size_t length);

// Fresh bytes for salts.
void nonce(uint8_t* out, size_t length);

}  // namespace usm
}  // namespace simplatform
