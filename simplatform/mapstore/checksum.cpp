// CRC-32 from libgcrypt (GCRY_MD_CRC32): its four bytes, first byte most
// significant, are the checksum's usual value (that of "hello" is 3610a686).
#include "checksum.h"

#include <gcrypt.h>

namespace simplatform {
namespace {

// One handle, opened once and reset for each checksum: opening one per
// checksum would cost two system calls each (libgcrypt polls its entropy
// sources whenever a digest is opened, once its random pool is in use).
gcry_md_hd_t crcHandle()
{
    static gcry_md_hd_t handle = [] {
        // Started once before its first use; the SNMPv3 code starts it the
        // same way, and either may come first.
        gcry_check_version(GCRYPT_VERSION);
        gcry_md_hd_t opened = nullptr;
        return gcry_md_open(&opened, GCRY_MD_CRC32, 0) == 0 ? opened : nullptr;
    }();
    return handle;
}

}  // namespace

std::uint32_t checksumOf(std::string_view bytes)
{
    gcry_md_hd_t handle = crcHandle();
    const unsigned char* digest = nullptr;
    if (handle != nullptr) {
        gcry_md_reset(handle);
        gcry_md_write(handle, bytes.data(), bytes.size());
        digest = gcry_md_read(handle, GCRY_MD_CRC32);
    }
    if (digest == nullptr) {
        return 0;  // the library cannot be used: records are written, and read, unchecked
    }
    return static_cast<std::uint32_t>(digest[0]) << 24 | static_cast<std::uint32_t>(digest[1]) << 16 |
           static_cast<std::uint32_t>(digest[2]) << 8 | static_cast<std::uint32_t>(digest[3]);
}

}  // namespace simplatform
