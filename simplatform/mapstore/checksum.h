// The checksum of the store's records: CRC-32 (the one of zlib and
// Ethernet), computed by libgcrypt.
#pragma once

#include <cstdint>
#include <string_view>

namespace simplatform {

std::uint32_t checksumOf(std::string_view bytes);

}  // namespace simplatform
