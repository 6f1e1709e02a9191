// The size reply, the colour-type reply and the barcode-location text: no
// read outside the received bytes, and a size that is accepted is usable.
//
// Input: the received bytes, in a heap buffer of exactly their size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "engine/image_reply.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> bytes(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);
    const char* p = bytes.get();

    int32_t w = -1, h = -1;
    if (qv::ParsePicSizeReply(p, size, &w, &h)) {
        QV_FUZZ_CHECK(qv::PictureSizeUsable(w, h), "size %d x %d", w, h);
        QV_FUZZ_CHECK(std::string_view(p, size).find("IMGGWH") != std::string_view::npos, "no IMGGWH");
        // Every size derived from it fits 32 bits.
        QV_FUZZ_CHECK(4 * static_cast<uint64_t>(w) * static_cast<uint64_t>(h) <= UINT32_MAX, "4wh");
    } else {
        QV_FUZZ_CHECK(w == -1 && h == -1, "outputs written on failure");
    }

    const int32_t colour = qv::ColorTypeFromReply(p, size);
    QV_FUZZ_CHECK(colour >= 0 && colour <= 2, "colour type %d", colour);

    STImgResolution pts[4];
    size_t used = 0;
    const qv::LocationParse lp = qv::ParseBarcodeLocation(p, size, pts, &used);
    if (lp == qv::LocationParse::complete) {
        QV_FUZZ_CHECK(used >= 15 && used <= size && p[used - 1] == 'H', "used %zu of %zu", used, size);
        // The text it took is complete on its own, and one byte less is not.
        size_t again = 0;
        QV_FUZZ_CHECK(qv::ParseBarcodeLocation(p, used, pts, &again) == qv::LocationParse::complete && again == used,
                      "not the same text");
        QV_FUZZ_CHECK(qv::ParseBarcodeLocation(p, used - 1, pts, &again) == qv::LocationParse::incomplete,
                      "a shorter text is not incomplete");
        for (const STImgResolution& pt : pts) QV_FUZZ_CHECK(pt.width >= 0 && pt.height >= 0, "negative point");
    }
    if (size >= 8) {
        uint32_t len = 0;
        (void)qv::ParseImageLength(p, &len);
    }
    return 0;
}
