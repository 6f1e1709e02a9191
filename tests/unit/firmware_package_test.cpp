// The firmware package loader on real files written by the test-side package
// builder: the five kinds and their block lists, and bad input of every kind
// (truncated files, headers claiming blocks beyond the file, block counts 0
// and 17, 0-byte and over-100-MiB files, overflowing offset + length, broken
// CRCs): the right codes and never a read outside the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/file_name.h"
#include "firmware/firmware_package.h"
#include "firmware_package_builder.h"
#include "test_env.h"

namespace {

using qv::firmware::LoadFirmwarePackage;
using qv::firmware::PackageInfo;
using qvtest::PatternBytes;
using qvtest::PutLe32;

class PackageTest : public ::testing::Test {
protected:
    // Writes the file and loads it; `info` and the loaded bytes are kept.
    int32_t Load(const std::string& name, const std::string& bytes) {
        const auto path = dir_.path() / name;
        EXPECT_TRUE(qvtest::WriteBytes(path, bytes));
        return LoadPath(path.u16string());
    }
    int32_t LoadPath(const std::u16string& path) {
        info_ = PackageInfo{};
        data_.reset();
        size_ = 0;
        return LoadFirmwarePackage(path.c_str(), &info_, &data_, &size_);
    }
    // The bytes of block `i` as loaded.
    std::string Block(size_t i) const {
        const auto& b = info_.blocks.at(i);
        return std::string(reinterpret_cast<const char*>(data_.get()) + b.offset, b.length);
    }
    // Checks the bytes in memory the same way as the file (what the fuzz
    // harness does): the same code for every variant of a bad package.
    int32_t CheckBytes(qv::firmware::PackageFormat format, const std::string& bytes) {
        PackageInfo info;
        return qv::firmware::CheckPackageBytes(format, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                               &info);
    }

    qvtest::TempDir dir_{"qv_pkg"};
    PackageInfo info_;
    std::unique_ptr<uint8_t[]> data_;
    uint64_t size_ = 0;
};

qvtest::TablePackage TwoPlusOne(bool efp) {
    qvtest::TablePackage p;
    p.efp = efp;
    p.main = {{"kern", PatternBytes(1500, 1), 11}, {"appl", PatternBytes(700, 2), 12}};
    p.extra = {{"exfl", PatternBytes(300, 3), 13}};
    p.upgradeMode = 1;
    if (efp) {
        p.variant = 2;
        p.prn = "QV-PRN-7";
        p.cpn = "CPN-42";
    }
    return p;
}

TEST_F(PackageTest, NfpAndEfpBlockTables) {
    for (bool efp : {false, true}) {
        SCOPED_TRACE(efp ? "efp" : "nfp");
        const qvtest::TablePackage p = TwoPlusOne(efp);
        ASSERT_EQ(Load(efp ? "a.efp" : "a.nfp", qvtest::BuildTablePackage(p)), QV_FW_OK);
        EXPECT_EQ(info_.kind, efp ? 4 : 3);
        EXPECT_EQ(info_.upgradeMode, 1u);
        EXPECT_EQ(info_.mainCount, 2u);
        EXPECT_EQ(info_.extraCount, 1u);
        ASSERT_EQ(info_.blocks.size(), 3u);
        EXPECT_EQ(info_.blocks[0].type, 2u);
        EXPECT_EQ(info_.blocks[1].type, 4u);
        EXPECT_EQ(info_.blocks[2].type, 3u);  // "exfl"
        EXPECT_TRUE(info_.blocks[2].extraGroup);
        EXPECT_EQ(info_.blocks[2].extra, 13u);
        for (size_t i = 0; i < 2; ++i) EXPECT_EQ(Block(i), p.main[i].data);
        EXPECT_EQ(Block(2), p.extra[0].data);
        EXPECT_EQ(info_.texts.at(0), "test package");
        if (efp) {
            EXPECT_EQ(info_.variant, 2u);
            EXPECT_EQ(info_.prn, "QV-PRN-7");
            EXPECT_EQ(info_.cpn, "CPN-42");
        }
    }
}

TEST_F(PackageTest, ExtensionDecidesTheKindWithoutRegardToCase) {
    const std::string nfp = qvtest::BuildTablePackage(TwoPlusOne(false));
    EXPECT_EQ(Load("A.NFP", nfp), QV_FW_OK);
    EXPECT_EQ(Load("b.Efp", qvtest::BuildTablePackage(TwoPlusOne(true))), QV_FW_OK);
    EXPECT_EQ(info_.kind, 4);
    EXPECT_EQ(Load("noextension", nfp), QV_FW_BAD_EXTENSION);
    EXPECT_EQ(Load("a.nfp.txt", nfp), QV_FW_BAD_EXTENSION);
    EXPECT_EQ(Load("a.", nfp), QV_FW_BAD_EXTENSION);
    // An "nfp" under another package's extension fails that package's check.
    EXPECT_EQ(Load("a.pak", nfp), QV_FW_BAD_PACKAGE);
    EXPECT_EQ(Load("a.efp", nfp), QV_FW_BAD_PACKAGE);
}

TEST_F(PackageTest, EfpOfAnotherVariantTakesMainTagsForExtraBlocks) {
    qvtest::TablePackage p = TwoPlusOne(true);
    p.variant = 1;
    EXPECT_EQ(Load("v1.efp", qvtest::BuildTablePackage(p)), QV_FW_BAD_PACKAGE);  // "exfl" is no main tag
    p.extra[0].tag = "flah";
    ASSERT_EQ(Load("v1.efp", qvtest::BuildTablePackage(p)), QV_FW_OK);
    EXPECT_EQ(info_.blocks[2].type, 3u);
    p.extra[0].tag = "boot";
    ASSERT_EQ(Load("v1.efp", qvtest::BuildTablePackage(p)), QV_FW_OK);
    EXPECT_EQ(info_.blocks[2].type, 1u);
}

TEST_F(PackageTest, TableFaults) {
    const std::string good = qvtest::BuildTablePackage(TwoPlusOne(false));
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<Case> cases;
    auto patched = [&](const char* name, auto change, bool reseal = true) {
        std::string b = good;
        change(b);
        if (reseal) qvtest::ResealTablePackage(b);
        cases.push_back({name, b});
    };
    patched("CRC of a data byte", [](std::string& b) { b[1100] ^= 1; }, false);
    patched("CRC of the header", [](std::string& b) { b[50] ^= 1; }, false);
    patched("magic", [](std::string& b) { b[0] = 'X'; });
    patched("0 blocks", [](std::string& b) {
        PutLe32(b, qvtest::kTableMainCountOffset, 0);
        PutLe32(b, qvtest::kTableExtraCountOffset, 0);
    });
    patched("17 blocks", [](std::string& b) { PutLe32(b, qvtest::kTableMainCountOffset, 16); });
    patched("counts that wrap around 32 bits", [](std::string& b) {
        PutLe32(b, qvtest::kTableMainCountOffset, 0xFFFFFFFFu);
        PutLe32(b, qvtest::kTableExtraCountOffset, 2);
    });
    patched("block of length 0", [](std::string& b) { PutLe32(b, qvtest::kTableEntriesOffset + 4, 0); });
    patched("block beyond the file", [](std::string& b) { PutLe32(b, qvtest::kTableEntriesOffset + 4, 1u << 20); });
    patched("offset + length overflowing 32 bits", [](std::string& b) {
        PutLe32(b, qvtest::kTableEntriesOffset, 0xFFFFFF00u);
        PutLe32(b, qvtest::kTableEntriesOffset + 4, 0x200);
    });
    patched("unknown main tag", [](std::string& b) { b.replace(qvtest::kTableEntriesOffset + 8, 4, "kerX"); });
    patched("extra block tagged flah", [](std::string& b) { b.replace(qvtest::kTableEntriesOffset + 96 + 8, 4, "flah"); });
    patched("all blocks before byte 1024", [](std::string& b) {
        for (size_t i = 0; i < 3; ++i) {
            PutLe32(b, qvtest::kTableEntriesOffset + 48 * i, 100);
            PutLe32(b, qvtest::kTableEntriesOffset + 48 * i + 4, 10);
        }
    });
    cases.push_back({"header only, cut", good.substr(0, 1000)});
    cases.push_back({"cut in the data", good.substr(0, 2000)});
    cases.push_back({"one byte", good.substr(0, 1)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Load("bad.nfp", c.bytes), QV_FW_BAD_PACKAGE);
        EXPECT_EQ(CheckBytes(qv::firmware::PackageFormat::kNfp, c.bytes), QV_FW_BAD_PACKAGE);
        EXPECT_FALSE(data_);
    }
}

TEST_F(PackageTest, PakAndPk2) {
    qvtest::PakPackage p;
    p.boot = PatternBytes(400, 4);
    p.kernel = PatternBytes(900, 5);
    p.flash = PatternBytes(100, 6);
    for (bool pk2 : {false, true}) {
        SCOPED_TRACE(pk2 ? "pk2" : "pak");
        p.pk2 = pk2;
        ASSERT_EQ(Load(pk2 ? "a.pk2" : "a.pak", qvtest::BuildPakPackage(p)), QV_FW_OK);
        EXPECT_EQ(info_.kind, 1);
        ASSERT_EQ(info_.blocks.size(), 3u);
        EXPECT_EQ(info_.blocks[0].type, 1u);
        EXPECT_EQ(info_.blocks[1].type, 2u);
        EXPECT_EQ(info_.blocks[2].type, 3u);
        EXPECT_EQ(Block(0), *p.boot);
        EXPECT_EQ(Block(1), *p.kernel);
        EXPECT_EQ(Block(2), *p.flash);
        EXPECT_EQ(info_.blocks[1].extra, 0u);
    }
    // Without a boot block; "pk2" has no presence words.
    p.boot.reset();
    p.pk2 = true;
    ASSERT_EQ(Load("b.pk2", qvtest::BuildPakPackage(p)), QV_FW_OK);
    ASSERT_EQ(info_.blocks.size(), 2u);
    EXPECT_EQ(info_.blocks[0].type, 2u);
}

TEST_F(PackageTest, PakFaults) {
    qvtest::PakPackage p;
    p.kernel = PatternBytes(900, 7);
    const std::string good = qvtest::BuildPakPackage(p);
    std::string b = good;
    PutLe32(b, 4, static_cast<uint32_t>(b.size() + 1));  // the size word
    EXPECT_EQ(Load("a.pak", b), QV_FW_BAD_PACKAGE);
    b = good;
    PutLe32(b, 96, 0);  // present, but no length
    qvtest::ResealPakPackage(b, false);
    EXPECT_EQ(Load("a.pak", b), QV_FW_BAD_PACKAGE);
    b = good;
    PutLe32(b, 100, 0xFFFFFFF0u);  // offset + length past the end (and past 32 bits)
    qvtest::ResealPakPackage(b, false);
    EXPECT_EQ(Load("a.pak", b), QV_FW_BAD_PACKAGE);
    b = good;
    b[3000] ^= 1;
    EXPECT_EQ(Load("a.pak", b), QV_FW_BAD_PACKAGE);
    // Just the header, and the header plus one byte with a matching size word.
    b = good.substr(0, qvtest::kPakHeaderSize);
    qvtest::ResealPakPackage(b, false);
    EXPECT_EQ(Load("a.pak", b), QV_FW_BAD_PACKAGE);
    EXPECT_EQ(Load("a.pak", good.substr(0, 100)), QV_FW_BAD_PACKAGE);
    // The same header read as "pk2" (other magic).
    EXPECT_EQ(Load("a.pk2", good), QV_FW_BAD_PACKAGE);
}

TEST_F(PackageTest, BinTrailer) {
    qvtest::BinPackage p;
    p.blocks = {{"boot", PatternBytes(500, 8)}, {"what", PatternBytes(200, 9)}, {"appl", PatternBytes(300, 10), 99}};
    ASSERT_EQ(Load("a.bin", qvtest::BuildBinPackage(p)), QV_FW_OK);
    EXPECT_EQ(info_.kind, 2);
    // The unknown tag is left out; the blocks after it follow on directly.
    ASSERT_EQ(info_.blocks.size(), 2u);
    EXPECT_EQ(info_.blocks[0].type, 1u);
    EXPECT_EQ(info_.blocks[1].type, 4u);
    EXPECT_EQ(info_.blocks[1].extra, 99u);
    EXPECT_EQ(Block(1), p.blocks[2].data);
    // Only unknown tags: a package without blocks (the update gives 14).
    qvtest::BinPackage none;
    none.blocks = {{"xxxx", PatternBytes(100, 11)}};
    ASSERT_EQ(Load("none.bin", qvtest::BuildBinPackage(none)), QV_FW_OK);
    EXPECT_TRUE(info_.blocks.empty());
}

TEST_F(PackageTest, BinFaults) {
    qvtest::BinPackage p;
    p.blocks = {{"kern", PatternBytes(500, 12)}, {"appl", PatternBytes(300, 13)}};
    const std::string good = qvtest::BuildBinPackage(p);
    const size_t t = good.size() - qvtest::kBinTrailerSize;
    const size_t e0 = t + qvtest::kBinEntriesOffset;
    std::string b = good;
    b[e0 + 13] = 'x';  // the byte after the tag field must be 0
    qvtest::ResealBinPackage(b);
    EXPECT_EQ(Load("a.bin", b), QV_FW_BAD_PACKAGE);
    b = good;
    b.replace(t, 4, "uIMX");
    EXPECT_EQ(Load("a.bin", b), QV_FW_BAD_PACKAGE);
    b = good;
    PutLe32(b, e0 + 4, 801);  // beyond the data part
    qvtest::ResealBinPackage(b);
    EXPECT_EQ(Load("a.bin", b), QV_FW_BAD_PACKAGE);
    // Each block inside the data part, but their lengths add up beyond it:
    // the CRC range would run into the trailer and past the file.
    b = good;
    for (int i = 0; i < 4; ++i) {
        PutLe32(b, e0 + 76 * static_cast<size_t>(i), 0);
        PutLe32(b, e0 + 76 * static_cast<size_t>(i) + 4, 800);
        b.replace(e0 + 76 * static_cast<size_t>(i) + 8, 4, "kern");
    }
    qvtest::ResealBinPackage(b);
    EXPECT_EQ(Load("a.bin", b), QV_FW_BAD_PACKAGE);
    b = good;
    b[10] ^= 1;
    EXPECT_EQ(Load("a.bin", b), QV_FW_BAD_PACKAGE);
    EXPECT_EQ(Load("a.bin", good.substr(good.size() - 587)), QV_FW_BAD_PACKAGE);
    EXPECT_EQ(Load("a.bin", good.substr(0, good.size() - 1)), QV_FW_BAD_PACKAGE);
}

TEST_F(PackageTest, FileSizeLimits) {
    EXPECT_EQ(Load("empty.nfp", ""), QV_FW_BAD_PACKAGE);
    // More than 100 MiB, as a sparse file: refused by its size, unread.
    const auto big = dir_.path() / "big.bin";
    { std::ofstream(big) << "x"; }
    std::filesystem::resize_file(big, qv::firmware::kMaxPackageSize + 1);
    EXPECT_EQ(LoadPath(big.u16string()), QV_FW_BAD_PACKAGE);
    EXPECT_FALSE(data_);
}

TEST_F(PackageTest, FilesThatCannotBeOpened) {
    EXPECT_EQ(LoadPath((dir_.path() / "missing.nfp").u16string()), QV_FW_CANNOT_OPEN);
    std::filesystem::create_directory(dir_.path() / "dir.nfp");
    EXPECT_EQ(LoadPath((dir_.path() / "dir.nfp").u16string()), QV_FW_CANNOT_OPEN);
    // A lone surrogate names no file.
    std::u16string name = (dir_.path() / "x").u16string();
    name += char16_t{0xD800};
    name += u".nfp";
    EXPECT_EQ(LoadPath(name), QV_FW_CANNOT_OPEN);
    EXPECT_EQ(LoadPath(u""), QV_FW_BAD_ARGUMENTS);
    PackageInfo info;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    EXPECT_EQ(LoadFirmwarePackage(nullptr, &info, &bytes, &size), QV_FW_BAD_ARGUMENTS);
    EXPECT_EQ(LoadFirmwarePackage(u"a.nfp", nullptr, &bytes, &size), QV_FW_BAD_ARGUMENTS);
}

TEST_F(PackageTest, NamesInUtf8AndUtf16) {
    std::u16string wide;
    EXPECT_TRUE(qv::firmware::Utf8ToUtf16("fw-\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.nfp", wide));
    EXPECT_EQ(wide, u"fw-\u00e9\u20ac\U0001F600.nfp");
    std::string back;
    EXPECT_TRUE(qv::firmware::Utf16ToUtf8(wide, back));
    EXPECT_EQ(back, "fw-\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.nfp");
    for (const char* bad : {"\xff", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3", "a\x80"}) {
        EXPECT_FALSE(qv::firmware::Utf8ToUtf16(bad, wide)) << bad;
    }
    // A real file with such a name loads.
    const std::string p = qvtest::BuildTablePackage(TwoPlusOne(false));
    const auto path = dir_.path() / std::filesystem::u8path("fw-\xc3\xa9.nfp");
    ASSERT_TRUE(qvtest::WriteBytes(path, p));
    std::u16string name;
    ASSERT_TRUE(qv::firmware::Utf8ToUtf16(path.string(), name));
    EXPECT_EQ(LoadPath(name), QV_FW_OK);
}

}  // namespace
