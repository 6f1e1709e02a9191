// The capability reply and the image command built from it: no read outside
// the reply or the caller's record, and a command that is built names only
// values the device accepts and fits the command buffer.
//
// Input: [44 bytes: an ImgParam as the caller passes it] [the capability reply...]
// The reply lies in a heap buffer of exactly its size; the region text of
// the record need not end with a zero byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/errors.h"
#include "engine/image_capabilities.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(ImgParam)) return 0;
    ImgParam p;
    std::memcpy(&p, data, sizeof p);
    const size_t len = size - sizeof p;
    std::unique_ptr<char[]> reply(new char[len == 0 ? 1 : len]);
    if (len != 0) std::memcpy(reply.get(), data + sizeof p, len);
    qv::ImgCapabilities caps;
    if (!qv::ParseImgCapabilities(reply.get(), len, &caps)) return 0;
    std::string cmd;
    const int32_t code = qv::BuildImgCommand(caps, p, &cmd);
    if (code != qv::kOk) {
        QV_FUZZ_CHECK(code <= qv::kErrParamT && code >= qv::kErrParamB, "code %d", code);
        return 0;
    }
    QV_FUZZ_CHECK(cmd.size() < 100, "command of %zu bytes", cmd.size());
    QV_FUZZ_CHECK(cmd.compare(0, 6, "IMGGET") == 0, "command %s", cmd.c_str());
    QV_FUZZ_CHECK(qv::ImgCapabilities::Allows(caps.t, p.t) && qv::ImgCapabilities::Allows(caps.r, p.r) &&
                      qv::ImgCapabilities::Allows(caps.f, p.f),
                  "T, R or F not accepted: %s", cmd.c_str());
    const std::string head =
        "IMGGET" + std::to_string(p.t) + "T" + std::to_string(p.r) + "R" + std::to_string(p.f) + "F";
    QV_FUZZ_CHECK(cmd.compare(0, head.size(), head) == 0, "command %s", cmd.c_str());
    if (p.f == 2) QV_FUZZ_CHECK(qv::ImgCapabilities::Allows(caps.q, p.q), "Q not accepted");
    if (p.f == 4) QV_FUZZ_CHECK(qv::ImgCapabilities::Allows(caps.a, p.a), "A not accepted");
    const size_t region = strnlen(p.b, sizeof p.b);
    if (caps.hasB && region != 0) {
        QV_FUZZ_CHECK(region == 16 && cmd.size() > 17 && cmd.compare(cmd.size() - 17, 16, p.b, 16) == 0 &&
                          cmd.back() == 'B',
                      "region %s", cmd.c_str());
    }
    return 0;
}
