// The firmware package checks of every kind on arbitrary file bytes: no read
// outside the file, whatever the header claims, and a block list that stays
// inside the file when the check passes.
//
// Input: [kind] [file bytes...]; kind % 5 selects pak, pk2, bin, nfp, efp.
// The file lies in a heap buffer of exactly its size, so a stray read is also
// a heap-buffer-overflow for AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "firmware/firmware_package.h"
#include "fuzz_check.h"

namespace {

using qv::firmware::PackageFormat;

// A file in memory that refuses (and reports) any read outside it.
class CheckedFile final : public qv::firmware::PackageSource {
public:
    CheckedFile(const uint8_t* data, size_t size) : data_(new uint8_t[size == 0 ? 1 : size]), size_(size) {
        if (size != 0) std::memcpy(data_.get(), data, size);
    }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, uint8_t* buf, size_t len) override {
        QV_FUZZ_CHECK(offset <= size_ && len <= size_ - offset, "read of %zu bytes at %llu in a file of %zu", len,
                      static_cast<unsigned long long>(offset), size_);
        std::memcpy(buf, data_.get() + offset, len);
        return true;
    }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_;
};

const PackageFormat kFormats[] = {PackageFormat::kPak, PackageFormat::kPk2, PackageFormat::kBin,
                                  PackageFormat::kNfp, PackageFormat::kEfp};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const PackageFormat format = kFormats[data[0] % 5];
    CheckedFile file(data + 1, size - 1);
    qv::firmware::PackageInfo info;
    const int32_t rc = qv::firmware::CheckPackage(format, file, &info);
    QV_FUZZ_CHECK(rc == QV_FW_OK || rc == QV_FW_BAD_PACKAGE, "result %d", rc);
    if (rc != QV_FW_OK) return 0;

    const uint64_t fileSize = size - 1;
    const bool table = format == PackageFormat::kNfp || format == PackageFormat::kEfp;
    QV_FUZZ_CHECK(info.blocks.size() <= (table ? 16u : format == PackageFormat::kBin ? 4u : 3u), "%zu blocks",
                  info.blocks.size());
    if (table) {
        QV_FUZZ_CHECK(!info.blocks.empty() && info.mainCount + info.extraCount == info.blocks.size(),
                      "counts %u + %u for %zu blocks", info.mainCount, info.extraCount, info.blocks.size());
    }
    for (const auto& b : info.blocks) {
        QV_FUZZ_CHECK(b.length != 0 && b.offset + b.length <= fileSize, "block %llu+%u in %llu bytes",
                      static_cast<unsigned long long>(b.offset), b.length, static_cast<unsigned long long>(fileSize));
        QV_FUZZ_CHECK(b.type >= 1 && b.type <= 4, "type %u", b.type);
        QV_FUZZ_CHECK(!b.extraGroup || table, "extra block outside a block table");
    }
    // The same bytes checked through the loader's own memory source agree.
    qv::firmware::PackageInfo again;
    QV_FUZZ_CHECK(qv::firmware::CheckPackageBytes(format, data + 1, fileSize, &again) == rc, "sources disagree");
    return 0;
}
