// Firmware package files: the five package kinds, their structure checks and
// chained CRC-32, and the block list an update sends.
//
// Kinds by the extension after the file name's last '.', without regard to
// case: "pak" and "pk2" (kind 1, fixed header), "bin" (kind 2, trailer),
// "nfp" (kind 3) and "efp" (kind 4, 1024-byte header with a block table).
// The checks read only inside the file, whatever its header claims: every
// offset and length is checked against the file size with 64-bit arithmetic
// before a byte is read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorvia.h"

namespace qv::firmware {

// Result codes of the loader and the update entries (QV_FW_* of quorvia.h).
enum FirmwareResult : int32_t {
    kFwOk = QV_FW_OK,
    kFwPortClosed = QV_FW_PORT_CLOSED,
    kFwBadArguments = QV_FW_BAD_ARGUMENTS,  // also: more than four blocks
    kFwBadPackage = QV_FW_BAD_PACKAGE,
    kFwBadExtension = QV_FW_BAD_EXTENSION,
    kFwProtocol = QV_FW_PROTOCOL,
    kFwNoMemory = QV_FW_NO_MEMORY,
    kFwWriteFailed = QV_FW_WRITE_FAILED,
    kFwNoBlock = QV_FW_NO_BLOCK,
    kFwCannotOpen = QV_FW_CANNOT_OPEN,
    kFwDoesNotFit = QV_FW_DOES_NOT_FIT,
};

// Package kind codes.
enum PackageKind : int32_t {
    kKindNone = 0,
    kKindPak = 1,  // "pak" and "pk2"
    kKindBin = 2,
    kKindNfp = 3,
    kKindEfp = 4,
};

// The layout the extension selects ("pak" and "pk2" share kind 1).
enum class PackageFormat { kNone, kPak, kPk2, kBin, kNfp, kEfp };

// Block types and their tags.
enum BlockType : uint32_t {
    kBlockBoot = 1,  // "boot"
    kBlockKernel = 2,  // "kern"
    kBlockFlash = 3,  // "flah"
    kBlockApp = 4,  // "appl"
};

// Files of 0 bytes or more than this are refused.
constexpr uint64_t kMaxPackageSize = 104857600;

struct PackageBlock {
    uint32_t type = 0;        // 1..4
    uint64_t offset = 0;      // in the file
    uint32_t length = 0;
    uint32_t extra = 0;       // the entry's extra value (0 for "pak"/"pk2")
    char tag[5] = {};         // the four tag characters as stored
    bool extraGroup = false;  // an extra block of an "nfp"/"efp" table
};

struct PackageInfo {
    int32_t kind = kKindNone;
    PackageFormat format = PackageFormat::kNone;
    uint32_t upgradeMode = 0;  // header word at 44 ("nfp"/"efp"): 1 selects the upgrade handshake
    uint32_t mainCount = 0;    // header counts ("nfp"/"efp")
    uint32_t extraCount = 0;
    uint32_t variant = 0;      // "efp" package variant
    std::string prn;           // "efp": compared with the reply to PRNQRY
    std::string cpn;           // "efp": compared with the reply to CPNQRY
    std::vector<std::string> texts;  // descriptive texts of the header, in header order
    // "nfp"/"efp": every table entry, main first. "pak"/"pk2": boot, kernel,
    // flash when present. "bin": the entries whose tag is one of the four,
    // numbered consecutively (an entry with another tag is left out and the
    // next one takes its place).
    std::vector<PackageBlock> blocks;
};

// Where the checks read from: a file, or bytes in memory. Read is only asked
// for ranges inside Size().
class PackageSource {
public:
    virtual ~PackageSource() = default;
    virtual uint64_t Size() const = 0;
    // Exactly `len` bytes at `offset`; false on a read error.
    virtual bool Read(uint64_t offset, uint8_t* buf, size_t len) = 0;
};

// The layout of a file name's extension; kNone when there is no '.' or the
// extension is not in the table.
PackageFormat FormatOfName(const std::u16string& fileName);

// Checks a package of the given layout (structure, then CRC) and fills
// `info`: kFwOk, kFwBadPackage, or kFwNoMemory when the source failed to read.
int32_t CheckPackage(PackageFormat format, PackageSource& source, PackageInfo* info);
// The same over bytes in memory.
int32_t CheckPackageBytes(PackageFormat format, const uint8_t* data, uint64_t size, PackageInfo* info);

// The package loader: recognises the kind by the extension, checks the file
// and reads it whole into memory. kFwBadArguments for a missing name or
// output, kFwBadExtension, kFwCannotOpen (no such file, not a regular file,
// a name that is not valid UTF-16), kFwBadPackage (also 0 bytes or more than
// 100 MiB), kFwNoMemory (the bytes cannot be read into memory). On success
// *bytes holds the file and *size its length.
int32_t LoadFirmwarePackage(const char16_t* fileName, PackageInfo* info, std::unique_ptr<uint8_t[]>* bytes,
                            uint64_t* size);

// Type of a block tag ("boot" 1, "kern" 2, "flah" 3, "appl" 4), 0 for any other.
uint32_t TypeOfTag(const uint8_t* tag);

}  // namespace qv::firmware
