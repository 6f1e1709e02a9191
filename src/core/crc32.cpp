#include "core/crc32.h"

#include <array>

namespace qv {
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

uint32_t Crc32(const uint8_t* data, size_t len, uint32_t crc) noexcept {
    uint32_t c = ~crc;
    if (data != nullptr) {
        for (size_t i = 0; i < len; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    }
    return ~c;
}

}  // namespace qv
