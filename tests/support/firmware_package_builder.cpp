#include "firmware_package_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qvtest {
namespace {

void PutText(std::string& bytes, size_t offset, const std::string& text, size_t field) {
    const size_t n = std::min(text.size(), field - 1);
    bytes.replace(offset, n, text, 0, n);
}

// The CRC over [from, to) of the file, chained onto `crc`.
uint32_t CrcOf(const std::string& bytes, size_t from, size_t to, uint32_t crc) {
    return TestCrc32(std::string_view(bytes).substr(from, to - from), crc);
}

}  // namespace

uint32_t TestCrc32(std::string_view bytes, uint32_t crc) {
    uint32_t c = ~crc;
    for (char ch : bytes) {
        c ^= static_cast<uint8_t>(ch);
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

uint32_t GetLe32(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + static_cast<size_t>(i)]);
    return v;
}

void PutLe32(std::string& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string PatternBytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xFF);
    }
    return out;
}

std::string BuildTablePackage(const TablePackage& p) {
    std::string bytes(kTableHeaderSize, '\0');
    PutText(bytes, 0, p.efp ? "QVSNewFirmwarePackage" : "QVSFirmwarePackage", 32);
    PutLe32(bytes, 44, p.upgradeMode);
    PutText(bytes, 48, "test package", 16);
    PutText(bytes, 64, "built by the tests", 32);
    PutText(bytes, 96, "for the simulated scanner", 64);
    if (p.efp) {
        PutText(bytes, 160, p.cpn, 32);
        PutLe32(bytes, 192, p.variant);
        PutText(bytes, 212, p.prn, 36);
    }
    PutLe32(bytes, kTableMainCountOffset, static_cast<uint32_t>(p.main.size()));
    PutLe32(bytes, kTableExtraCountOffset, static_cast<uint32_t>(p.extra.size()));
    std::vector<FirmwareBlockSpec> all = p.main;
    all.insert(all.end(), p.extra.begin(), p.extra.end());
    for (size_t i = 0; i < all.size() && i < 16; ++i) {
        const size_t e = kTableEntriesOffset + 48 * i;
        PutLe32(bytes, e, static_cast<uint32_t>(bytes.size()));
        PutLe32(bytes, e + 4, static_cast<uint32_t>(all[i].data.size()));
        bytes.replace(e + 8, 4, all[i].tag, 0, 4);
        PutLe32(bytes, e + 12, all[i].extra);
        bytes += all[i].data;
    }
    ResealTablePackage(bytes);
    return bytes;
}

void ResealTablePackage(std::string& bytes) {
    PutLe32(bytes, kTableCrcOffset, 0);
    // The data part runs to the largest block end the table names.
    const uint64_t n = static_cast<uint64_t>(GetLe32(bytes, kTableMainCountOffset)) +
                       GetLe32(bytes, kTableExtraCountOffset);
    size_t end = kTableHeaderSize;
    for (uint64_t i = 0; i < n && i < 16; ++i) {
        const size_t e = kTableEntriesOffset + 48 * static_cast<size_t>(i);
        const uint64_t blockEnd = static_cast<uint64_t>(GetLe32(bytes, e)) + GetLe32(bytes, e + 4);
        end = std::max<size_t>(end, static_cast<size_t>(std::min<uint64_t>(blockEnd, bytes.size())));
    }
    uint32_t crc = CrcOf(bytes, 0, kTableHeaderSize, 0);
    crc = CrcOf(bytes, kTableHeaderSize, end, crc);
    PutLe32(bytes, kTableCrcOffset, crc);
}

std::string BuildPakPackage(const PakPackage& p) {
    const size_t header = p.pk2 ? kPk2HeaderSize : kPakHeaderSize;
    std::string bytes(header, '\0');
    PutLe32(bytes, 0, p.pk2 ? 0xABCDEF89u : 0x89ABCDEFu);
    struct Slot {
        const std::optional<std::string>* data;
        size_t present, length, offset;
    };
    const Slot pak[] = {{&p.boot, 12, 16, 20}, {&p.kernel, 92, 96, 100}, {&p.flash, 204, 212, 216}};
    const Slot pk2[] = {{&p.boot, 0, 16, 20}, {&p.kernel, 0, 92, 96}, {&p.flash, 0, 200, 204}};
    for (const Slot& slot : p.pk2 ? pk2 : pak) {
        if (!*slot.data) continue;
        if (!p.pk2) PutLe32(bytes, slot.present, 1);
        PutLe32(bytes, slot.length, static_cast<uint32_t>((*slot.data)->size()));
        PutLe32(bytes, slot.offset, static_cast<uint32_t>(bytes.size()));
        bytes += **slot.data;
    }
    PutText(bytes, p.pk2 ? 104 : 108, "test package", 32);
    ResealPakPackage(bytes, p.pk2);
    return bytes;
}

void ResealPakPackage(std::string& bytes, bool pk2) {
    const size_t header = pk2 ? kPk2HeaderSize : kPakHeaderSize;
    PutLe32(bytes, 4, static_cast<uint32_t>(bytes.size()));
    uint32_t crc = CrcOf(bytes, 12, header, 0);
    crc = CrcOf(bytes, header, bytes.size(), crc);
    PutLe32(bytes, 8, crc);
}

std::string BuildBinPackage(const BinPackage& p) {
    std::string bytes;
    std::string trailer(kBinTrailerSize, '\0');
    trailer.replace(0, 4, "uIMG");
    PutText(trailer, 20, "test package", 32);
    for (size_t i = 0; i < p.blocks.size() && i < 4; ++i) {
        const size_t e = kBinEntriesOffset + 76 * i;
        PutLe32(trailer, e, static_cast<uint32_t>(bytes.size()));
        PutLe32(trailer, e + 4, static_cast<uint32_t>(p.blocks[i].data.size()));
        trailer.replace(e + 8, 4, p.blocks[i].tag, 0, 4);
        PutLe32(trailer, e + 40, p.blocks[i].extra);
        bytes += p.blocks[i].data;
    }
    bytes += trailer;
    ResealBinPackage(bytes);
    return bytes;
}

void ResealBinPackage(std::string& bytes) {
    const size_t trailer = bytes.size() - kBinTrailerSize;
    uint64_t covered = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint32_t len = GetLe32(bytes, trailer + kBinEntriesOffset + 76 * i + 4);
        if (len == 0) break;
        covered += len;
    }
    PutLe32(bytes, trailer + 8, 0);
    uint32_t crc = CrcOf(bytes, 0, static_cast<size_t>(std::min<uint64_t>(covered, trailer)), 0);
    crc = CrcOf(bytes, trailer, bytes.size(), crc);
    PutLe32(bytes, trailer + 8, crc);
}

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qvtest
