// CRC-32 from libgcrypt (GCRY_MD_CRC32): its four bytes, first byte most
// significant, are the checksum's usual value (that of "hello" is 3610a686).
#include "checksum.h"

#include <gcrypt.h>

namespace simplatform {

std::uint32_t checksumOf(std::string_view bytes)
{
    // The library is started once before its first use; the SNMPv3 code
    // starts it the same way, and either may come first.
    static const bool started = gcry_check_version(GCRYPT_VERSION) != nullptr;
    (void)started;
    unsigned char digest[4] = {};
    gcry_md_hash_buffer(GCRY_MD_CRC32, digest, bytes.data(), bytes.size());
    return static_cast<std::uint32_t>(digest[0]) << 24 | static_cast<std::uint32_t>(digest[1]) << 16 |
           static_cast<std::uint32_t>(digest[2]) << 8 | static_cast<std::uint32_t>(digest[3]);
}

}  // namespace simplatform
