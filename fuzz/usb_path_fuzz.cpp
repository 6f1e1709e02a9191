// USB device paths: the identity part parsed from any text, the device-ID
// match on what it gives, the comparison with product-ID toggle, and the
// UTF-8 <-> descriptor field conversion (never past the 501-unit field; a
// text that fits comes back unchanged).
//
// Input: [split] [text...]: the text is the path; for the comparison it is cut
// at byte `split` into reference and candidate.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/usb_device_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    for (const auto cls : {qv::kUsbClassVendor, qv::kUsbClassHid}) {
        const auto ids = qv::ParseUsbPath(text, cls);
        if (!ids) continue;
        const uint8_t kind = qv::MatchDeviceKind(*ids, cls);
        QV_FUZZ_CHECK(kind == 0 || (qv::UsbClassKindMask(cls) & (1u << kind)) != 0, "kind %u not admitted", kind);
        QV_FUZZ_CHECK(!ids->hasInterface || text.find("&mi_") != std::string::npos ||
                          text.find("&MI_") != std::string::npos || text.find("&Mi_") != std::string::npos ||
                          text.find("&mI_") != std::string::npos,
                      "an interface without its part");
    }
    const size_t split = std::min<size_t>(data[0], text.size());
    const std::string reference = text.substr(0, split);
    qv::UsbPathMatchesWithToggle(reference, text.substr(split));
    QV_FUZZ_CHECK(qv::UsbPathMatchesWithToggle(reference, text), "a text does not begin with its own start");

    UsbDeviceDescriptor d{};
    if (qvds_set_descriptor_path(&d, text)) {
        std::string back;
        QV_FUZZ_CHECK(qvds_descriptor_path(d, &back), "a stored path does not read back");
        QV_FUZZ_CHECK(back == text, "the path changed on its way through the field");
    }
    // Any field contents: read without going past it.
    for (size_t i = 0; i < 501; ++i) d.path[i] = static_cast<char16_t>(data[i % size] * 257u + i);
    std::string any;
    qvds_descriptor_path(d, &any);
    return 0;
}
