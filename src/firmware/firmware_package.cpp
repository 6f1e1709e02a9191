#include "firmware/firmware_package.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>

#include "core/crc32.h"
#include "core/log.h"
#include "firmware/file_name.h"

namespace qv::firmware {
namespace {

constexpr size_t kTableHeaderSize = 1024;  // "nfp" / "efp"
constexpr size_t kTableStart = 256;
constexpr size_t kTableEntrySize = 48;
constexpr uint64_t kMaxTableEntries = 16;
constexpr size_t kPakHeaderSize = 2268;
constexpr size_t kPk2HeaderSize = 2260;
constexpr uint32_t kPakMagic = 0x89ABCDEF;
constexpr uint32_t kPk2Magic = 0xABCDEF89;
constexpr size_t kBinTrailerSize = 588;
constexpr size_t kBinTableStart = 220;
constexpr size_t kBinEntrySize = 76;
constexpr int kBinMaxEntries = 4;
constexpr size_t kCrcChunk = 64 * 1024;

const char kNfpMagic[] = "QVSFirmwarePackage";
const char kEfpMagic[] = "QVSNewFirmwarePackage";

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// A zero-terminated text of a fixed-size header field.
std::string FieldText(const uint8_t* p, size_t size) {
    const auto* c = reinterpret_cast<const char*>(p);
    return std::string(c, strnlen(c, size));
}

// Chains the CRC over bytes [from, to) of the source.
bool ChainCrc(PackageSource& source, uint64_t from, uint64_t to, uint32_t* crc) {
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kCrcChunk]);
    if (!chunk) return false;
    while (from < to) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kCrcChunk, to - from));
        if (!source.Read(from, chunk.get(), n)) return false;
        *crc = Crc32(chunk.get(), n, *crc);
        from += n;
    }
    return true;
}

void CopyTag(PackageBlock& block, const uint8_t* tag) { std::memcpy(block.tag, tag, 4); }

int32_t Fail(const char* why) {
    QV_LOG("%s %d package check failed: %s\n", "CheckPackage", __LINE__, why);
    return kFwBadPackage;
}

int32_t CheckTable(PackageFormat format, PackageSource& source, PackageInfo* info) {
    const uint64_t size = source.Size();
    if (size < kTableHeaderSize) return Fail("shorter than its header");
    uint8_t header[kTableHeaderSize];
    if (!source.Read(0, header, sizeof header)) return kFwNoMemory;
    const bool efp = format == PackageFormat::kEfp;
    char magic[32] = {};
    const char* text = efp ? kEfpMagic : kNfpMagic;
    std::memcpy(magic, text, std::strlen(text));
    if (std::memcmp(header, magic, sizeof magic) != 0) return Fail("magic");
    const uint32_t mainCount = Le32(header + 248);
    const uint32_t extraCount = Le32(header + 252);
    const uint64_t n = static_cast<uint64_t>(mainCount) + extraCount;
    if (n < 1 || n > kMaxTableEntries) return Fail("block count");
    const uint32_t stored = Le32(header + 32);
    const uint32_t variant = efp ? Le32(header + 192) : 0;
    uint8_t zeroed[kTableHeaderSize];
    std::memcpy(zeroed, header, sizeof zeroed);
    std::memset(zeroed + 32, 0, 4);
    uint32_t crc = Crc32(zeroed, sizeof zeroed);

    // Extra blocks carry "exfl" (type 3) in "nfp" and in an "efp" of variant
    // 2; in any other "efp" they carry the main tags.
    const bool extraTagged = !efp || variant == 2;
    uint64_t largestEnd = 0;
    std::vector<PackageBlock> blocks;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* e = header + kTableStart + kTableEntrySize * i;
        PackageBlock b;
        b.offset = Le32(e);
        b.length = Le32(e + 4);
        b.extra = Le32(e + 12);
        b.extraGroup = i >= mainCount;
        CopyTag(b, e + 8);
        if (b.length == 0) return Fail("empty block");
        if (b.offset + b.length > size) return Fail("block beyond the file");
        if (b.extraGroup && extraTagged) {
            if (std::memcmp(e + 8, "exfl", 4) != 0) return Fail("extra block tag");
            b.type = kBlockFlash;
        } else {
            b.type = TypeOfTag(e + 8);
            if (b.type == 0) return Fail("block tag");
        }
        largestEnd = std::max(largestEnd, b.offset + b.length);
        blocks.push_back(b);
    }
    if (largestEnd < kTableHeaderSize) return Fail("no block data after the header");
    if (!ChainCrc(source, kTableHeaderSize, largestEnd, &crc)) return kFwNoMemory;
    if (crc != stored) return Fail("CRC");

    info->kind = efp ? kKindEfp : kKindNfp;
    info->upgradeMode = Le32(header + 44);
    info->mainCount = mainCount;
    info->extraCount = extraCount;
    info->variant = variant;
    info->texts = {FieldText(header + 48, 16), FieldText(header + 64, 32), FieldText(header + 96, 64)};
    if (efp) {
        info->cpn = FieldText(header + 160, 32);
        info->prn = FieldText(header + 212, 36);
    }
    info->blocks = std::move(blocks);
    return kFwOk;
}

// "pak" and "pk2": the fixed header's block slots (presence word, length, offset).
struct PakSlot {
    size_t present;  // offset of the presence word; 0: present when the length is not 0
    size_t length;
    size_t offset;
    uint32_t type;
    const char* tag;
};

int32_t CheckPak(PackageFormat format, PackageSource& source, PackageInfo* info) {
    const bool pk2 = format == PackageFormat::kPk2;
    const size_t headerSize = pk2 ? kPk2HeaderSize : kPakHeaderSize;
    const uint64_t size = source.Size();
    if (size < headerSize + 1) return Fail("shorter than its header and one byte");
    uint8_t header[kPakHeaderSize];
    if (!source.Read(0, header, headerSize)) return kFwNoMemory;
    if (Le32(header) != (pk2 ? kPk2Magic : kPakMagic)) return Fail("magic");
    if (Le32(header + 4) != size) return Fail("size word");
    static const PakSlot kPakSlots[] = {
        {12, 16, 20, kBlockBoot, "boot"}, {92, 96, 100, kBlockKernel, "kern"}, {204, 212, 216, kBlockFlash, "flah"}};
    static const PakSlot kPk2Slots[] = {
        {0, 16, 20, kBlockBoot, "boot"}, {0, 92, 96, kBlockKernel, "kern"}, {0, 200, 204, kBlockFlash, "flah"}};
    std::vector<PackageBlock> blocks;
    for (const PakSlot& slot : pk2 ? kPk2Slots : kPakSlots) {
        PackageBlock b;
        b.length = Le32(header + slot.length);
        b.offset = Le32(header + slot.offset);
        const bool present = pk2 ? b.length != 0 : Le32(header + slot.present) != 0;
        if (!present) continue;
        if (b.length == 0) return Fail("present block without length");
        if (b.offset + b.length > size) return Fail("block beyond the file");
        b.type = slot.type;
        CopyTag(b, reinterpret_cast<const uint8_t*>(slot.tag));
        blocks.push_back(b);
    }
    uint32_t crc = Crc32(header + 12, headerSize - 12);
    if (!ChainCrc(source, headerSize, size, &crc)) return kFwNoMemory;
    if (crc != Le32(header + 8)) return Fail("CRC");
    info->kind = kKindPak;
    info->mainCount = static_cast<uint32_t>(blocks.size());
    if (pk2) {
        info->texts = {FieldText(header + 104, 32), FieldText(header + 136, 32), FieldText(header + 168, 32)};
    } else {
        info->texts = {FieldText(header + 108, 32), FieldText(header + 140, 32), FieldText(header + 172, 32)};
    }
    info->blocks = std::move(blocks);
    return kFwOk;
}

int32_t CheckBin(PackageSource& source, PackageInfo* info) {
    const uint64_t size = source.Size();
    if (size < kBinTrailerSize) return Fail("shorter than its trailer");
    const uint64_t dataSize = size - kBinTrailerSize;
    uint8_t trailer[kBinTrailerSize];
    if (!source.Read(dataSize, trailer, sizeof trailer)) return kFwNoMemory;
    if (std::memcmp(trailer, "uIMG", 4) != 0) return Fail("magic");
    uint64_t covered = 0;
    std::vector<PackageBlock> blocks;
    for (int i = 0; i < kBinMaxEntries; ++i) {
        const uint8_t* e = trailer + kBinTableStart + kBinEntrySize * static_cast<size_t>(i);
        PackageBlock b;
        b.offset = Le32(e);
        b.length = Le32(e + 4);
        if (b.length == 0) break;
        if (b.offset + b.length > dataSize) return Fail("block beyond the data part");
        if (e[13] != 0) return Fail("tag field");
        b.extra = Le32(e + 40);
        CopyTag(b, e + 8);
        b.type = TypeOfTag(e + 8);
        covered += b.length;
        if (b.type != 0) blocks.push_back(b);
    }
    // The CRC covers the file from its start for the sum of the lengths: a
    // table whose lengths add up past the data part would make it read the
    // trailer or beyond the file.
    if (covered > dataSize) return Fail("block lengths beyond the data part");
    uint32_t crc = 0;
    if (!ChainCrc(source, 0, covered, &crc)) return kFwNoMemory;
    uint8_t zeroed[kBinTrailerSize];
    std::memcpy(zeroed, trailer, sizeof zeroed);
    std::memset(zeroed + 8, 0, 4);
    crc = Crc32(zeroed, sizeof zeroed, crc);
    if (crc != Le32(trailer + 8)) return Fail("CRC");
    info->kind = kKindBin;
    info->mainCount = static_cast<uint32_t>(blocks.size());
    info->texts = {FieldText(trailer + 20, 32), FieldText(trailer + 52, 24), FieldText(trailer + 76, 16),
                   FieldText(trailer + 92, 24), FieldText(trailer + 116, 104)};
    info->blocks = std::move(blocks);
    return kFwOk;
}

class FileSource final : public PackageSource {
public:
    FileSource(std::ifstream& in, uint64_t size) : in_(in), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, uint8_t* buf, size_t len) override {
        if (offset > size_ || len > size_ - offset) return false;
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char*>(buf), static_cast<std::streamsize>(len));
        return in_.good() && static_cast<size_t>(in_.gcount()) == len;
    }

private:
    std::ifstream& in_;
    uint64_t size_;
};

class MemorySource final : public PackageSource {
public:
    MemorySource(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, uint8_t* buf, size_t len) override {
        if (offset > size_ || len > size_ - offset) return false;
        std::memcpy(buf, data_ + offset, len);
        return true;
    }

private:
    const uint8_t* data_;
    uint64_t size_;
};

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

int32_t LoadFile(const char16_t* fileName, PackageInfo* info, std::unique_ptr<uint8_t[]>* bytes, uint64_t* size);

}  // namespace

uint32_t TypeOfTag(const uint8_t* tag) {
    static const char* const kTags[] = {"boot", "kern", "flah", "appl"};
    for (uint32_t i = 0; i < 4; ++i) {
        if (std::memcmp(tag, kTags[i], 4) == 0) return i + 1;
    }
    return 0;
}

PackageFormat FormatOfName(const std::u16string& fileName) {
    const size_t dot = fileName.rfind(u'.');
    if (dot == std::u16string::npos) return PackageFormat::kNone;
    std::u16string ext = fileName.substr(dot + 1);
    for (char16_t& c : ext) c = Lower(c);
    if (ext == u"pak") return PackageFormat::kPak;
    if (ext == u"pk2") return PackageFormat::kPk2;
    if (ext == u"bin") return PackageFormat::kBin;
    if (ext == u"nfp") return PackageFormat::kNfp;
    if (ext == u"efp") return PackageFormat::kEfp;
    return PackageFormat::kNone;
}

int32_t CheckPackage(PackageFormat format, PackageSource& source, PackageInfo* info) {
    *info = PackageInfo{};
    info->format = format;
    const uint64_t size = source.Size();
    if (size == 0 || size > kMaxPackageSize) return Fail("file size out of range");
    try {
        switch (format) {
            case PackageFormat::kPak:
            case PackageFormat::kPk2: return CheckPak(format, source, info);
            case PackageFormat::kBin: return CheckBin(source, info);
            case PackageFormat::kNfp:
            case PackageFormat::kEfp: return CheckTable(format, source, info);
            case PackageFormat::kNone: break;
        }
    } catch (const std::bad_alloc&) {
        return kFwNoMemory;
    }
    return kFwBadExtension;
}

int32_t CheckPackageBytes(PackageFormat format, const uint8_t* data, uint64_t size, PackageInfo* info) {
    MemorySource source(data, data == nullptr ? 0 : size);
    return CheckPackage(format, source, info);
}

int32_t LoadFirmwarePackage(const char16_t* fileName, PackageInfo* info, std::unique_ptr<uint8_t[]>* bytes,
                            uint64_t* size) {
    if (fileName == nullptr || fileName[0] == u'\0' || info == nullptr || bytes == nullptr || size == nullptr) {
        return kFwBadArguments;
    }
    try {
        return LoadFile(fileName, info, bytes, size);
    } catch (const std::bad_alloc&) {
        return kFwNoMemory;
    }
}

namespace {

int32_t LoadFile(const char16_t* fileName, PackageInfo* info, std::unique_ptr<uint8_t[]>* bytes, uint64_t* size) {
    const std::u16string name(fileName);
    const PackageFormat format = FormatOfName(name);
    if (format == PackageFormat::kNone) return kFwBadExtension;
    std::string narrow;
    if (!Utf16ToUtf8(name, narrow)) return kFwCannotOpen;
    // The path as the file system sees it: UTF-8 bytes here; the Windows
    // build opens the wide name itself.
    const std::filesystem::path path(narrow);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        QV_LOG("%s %d cannot open [%s]\n", "LoadFirmwarePackage", __LINE__, narrow.c_str());
        return kFwCannotOpen;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return kFwCannotOpen;
    const uintmax_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) return kFwCannotOpen;

    FileSource file(in, fileSize);
    int32_t rc = CheckPackage(format, file, info);
    if (rc != kFwOk) return rc;

    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[fileSize]);
    if (!data || !file.Read(0, data.get(), fileSize)) return kFwNoMemory;
    // What is sent is what was checked: the bytes in memory pass the same
    // check (the file may have changed since).
    rc = CheckPackageBytes(format, data.get(), fileSize, info);
    if (rc != kFwOk) return rc;
    *bytes = std::move(data);
    *size = fileSize;
    return kFwOk;
}

}  // namespace

}  // namespace qv::firmware
