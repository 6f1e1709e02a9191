// IEEE 802.3 CRC-32: reflected polynomial 0xEDB88320, register preset to all
// ones, result complemented. Used by the framed loader exchange, the firmware
// data frames and the firmware package checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// `crc` is the CRC of the bytes before `data` (0 for none), so a CRC can be
// computed in pieces: Crc32(b, nb, Crc32(a, na)) is the CRC of a then b.
uint32_t Crc32(const uint8_t* data, size_t len, uint32_t crc = 0) noexcept;

}  // namespace qv
