// Writes firmware packages of the five kinds for tests, from the file format
// alone (its own CRC-32, bit by bit), valid or spoilt on purpose.
//
//   qvtest::TablePackage p;                  // "nfp" (efp = true: "efp")
//   p.main = {{"kern", bytes1}, {"appl", bytes2}};
//   std::string file = qvtest::BuildTablePackage(p);
//   qvtest::WriteBytes(dir / "fw.nfp", file);
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvtest {

struct FirmwareBlockSpec {
    std::string tag;   // four characters ("boot", "kern", "flah", "appl", "exfl", ...)
    std::string data;
    uint32_t extra = 0;
};

// "nfp" / "efp": 1024-byte header with a block table, the blocks' data after it.
struct TablePackage {
    bool efp = false;
    std::vector<FirmwareBlockSpec> main;
    std::vector<FirmwareBlockSpec> extra;
    uint32_t upgradeMode = 0;
    uint32_t variant = 0;  // "efp" only
    std::string prn;       // "efp" only, at most 35 characters
    std::string cpn;       // "efp" only, at most 31 characters
};

// "pak" / "pk2": fixed header, the present blocks' data after it.
struct PakPackage {
    bool pk2 = false;
    std::optional<std::string> boot;
    std::optional<std::string> kernel;
    std::optional<std::string> flash;
};

// "bin": the blocks' data, then the 588-byte trailer (at most four entries).
struct BinPackage {
    std::vector<FirmwareBlockSpec> blocks;
};

std::string BuildTablePackage(const TablePackage& p);
std::string BuildPakPackage(const PakPackage& p);
std::string BuildBinPackage(const BinPackage& p);

// Offsets of the formats, for spoiling a package on purpose.
constexpr size_t kTableHeaderSize = 1024;
constexpr size_t kTableCrcOffset = 32;
constexpr size_t kTableMainCountOffset = 248;
constexpr size_t kTableExtraCountOffset = 252;
constexpr size_t kTableEntriesOffset = 256;  // 48 bytes each: offset, length, tag, extra
constexpr size_t kPakHeaderSize = 2268;
constexpr size_t kPk2HeaderSize = 2260;
constexpr size_t kBinTrailerSize = 588;
constexpr size_t kBinEntriesOffset = 220;    // in the trailer; 76 bytes each

// IEEE 802.3 CRC-32, chained like the format's: TestCrc32(b, TestCrc32(a)).
uint32_t TestCrc32(std::string_view bytes, uint32_t crc = 0);

uint32_t GetLe32(const std::string& bytes, size_t offset);
void PutLe32(std::string& bytes, size_t offset, uint32_t value);

// Recompute the stored CRC after a package was changed, so that only the
// intended fault remains.
void ResealTablePackage(std::string& bytes);
void ResealPakPackage(std::string& bytes, bool pk2);
void ResealBinPackage(std::string& bytes);

// Reproducible bytes of every value.
std::string PatternBytes(size_t n, uint32_t seed);

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& path);

}  // namespace qvtest
