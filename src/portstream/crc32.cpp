// IEEE 802.3 CRC-32 of the framed exchange: reflected polynomial 0xEDB88320,
// register preset to all ones, result complemented.
#include <array>
#include <cstdint>

#include "portstream/qvds.h"

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeTable();

}  // namespace

// `crc` is the CRC of the bytes before `data` (0 for none), so a CRC can be
// computed in pieces: qvds_crc32(b, nb, qvds_crc32(a, na)) is the CRC of a then b.
uint32_t qvds_crc32(const uint8_t* data, uint32_t len, uint32_t crc) {
    uint32_t c = ~crc;
    if (data != nullptr) {
        for (uint32_t i = 0; i < len; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    }
    return ~c;
}
