// The stream splitter against the forward, position-by-position reference of
// the unit tests: a byte stream cut into chunks goes through SplitChunk and
// RouteChunk, and through the reference with a byte-at-a-time router; both
// must give the same frame range, the same state and the same bytes in the
// response queue and the code queue after every chunk.
//
// Input: [options] [K] [K chunk bytes] [stream...]
//   options bit 0-1: queue cap (10 MiB as the engine's reads, 4, 32 or 200 bytes),
//           bit 2-3: what is taken from the queues after each chunk (nothing,
//                    everything, half, or as many bytes as the chunk byte says);
//   chunk byte c: the next chunk has (c & 0x7f) + 1 bytes; bit 7 switches raw
//           mode (image transfer) on or off before it. The chunk bytes are used
//           in turn, again from the first when they run out; with K = 0 the
//           whole stream is one chunk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/stream_splitter.h"
#include "fuzz_check.h"
#include "splitter_reference.h"

namespace {

constexpr size_t kCaps[4] = {0xA00000, 4, 32, 200};

// The reference router: every byte of the chunk goes, one at a time, to the
// response when it lies inside the frame range and to the code data otherwise.
// A queue that holds more than `cap` bytes is emptied before the chunk.
void ReferenceRoute(const char* buf, size_t n, qv::FrameRange r, std::string& code, std::string& response,
                    size_t cap) {
    if (code.size() > cap) code.clear();
    if (response.size() > cap) response.clear();
    for (size_t i = 0; i < n; ++i) {
        const auto pos = static_cast<int64_t>(i);
        if (r.start != -1 && pos >= r.start && pos <= r.end) {
            response.push_back(buf[i]);
        } else {
            code.push_back(buf[i]);
        }
    }
}

bool Same(const qv::ByteQueue& q, const std::string& s) {
    return q.size() == s.size() && std::string(q.data(), q.size()) == s;
}

// Takes `n` bytes from the front of both, checking they are the same bytes.
void Take(qv::ByteQueue& q, std::string& s, size_t n) {
    std::string out(n, '\0');
    const size_t got = q.pop(out.data(), n);
    QV_FUZZ_CHECK(got == std::min(n, s.size()), "pop gave %zu of %zu (reference holds %zu)", got, n, s.size());
    QV_FUZZ_CHECK(out.compare(0, got, s, 0, got) == 0, "popped bytes differ");
    s.erase(0, got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t options = data[0];
    const size_t k = std::min<size_t>(data[1], size - 2);
    const uint8_t* chunks = data + 2;
    const char* stream = reinterpret_cast<const char*>(data + 2 + k);
    const size_t streamSize = size - 2 - k;
    const size_t cap = kCaps[options & 3];
    const int takePolicy = (options >> 2) & 3;

    qv::SplitterState fast;
    qv::SplitterState ref;
    qv::ByteQueue code;
    qv::ByteQueue response;
    std::string refCode;
    std::string refResponse;

    size_t off = 0;
    size_t index = 0;
    while (off < streamSize) {
        const uint8_t c = k == 0 ? 0 : chunks[index % k];
        ++index;
        if (c & 0x80) {
            fast.rawMode = !fast.rawMode;
            ref.rawMode = fast.rawMode;
        }
        const size_t want = k == 0 ? streamSize : static_cast<size_t>(c & 0x7f) + 1;
        const size_t n = std::min(want, streamSize - off);
        // The chunk in a buffer of its own size, so a read outside it is seen.
        const std::string chunk(stream + off, n);

        const qv::FrameRange a = qv::SplitChunk(fast, chunk.data(), n);
        const qv::FrameRange b = qvtest::ReferenceSplitChunk(ref, chunk.data(), n);
        QV_FUZZ_CHECK(a.start == b.start && a.end == b.end, "chunk at %zu (%zu bytes): range [%lld, %lld], reference [%lld, %lld]",
                      off, n, static_cast<long long>(a.start), static_cast<long long>(a.end),
                      static_cast<long long>(b.start), static_cast<long long>(b.end));
        QV_FUZZ_CHECK(fast.inFrame == ref.inFrame && fast.pendingSemicolon == ref.pendingSemicolon &&
                          fast.pendingStatus == ref.pendingStatus,
                      "chunk at %zu: state %d%d%d, reference %d%d%d", off, fast.inFrame, fast.pendingSemicolon,
                      fast.pendingStatus, ref.inFrame, ref.pendingSemicolon, ref.pendingStatus);

        qv::RouteChunk(chunk.data(), n, a, code, response, cap);
        ReferenceRoute(chunk.data(), n, b, refCode, refResponse, cap);
        QV_FUZZ_CHECK(Same(code, refCode), "chunk at %zu: code bytes differ (%zu vs %zu bytes)", off, code.size(),
                      refCode.size());
        QV_FUZZ_CHECK(Same(response, refResponse), "chunk at %zu: response bytes differ (%zu vs %zu bytes)", off,
                      response.size(), refResponse.size());

        switch (takePolicy) {
            case 1:
                Take(code, refCode, refCode.size());
                Take(response, refResponse, refResponse.size());
                break;
            case 2:
                Take(code, refCode, refCode.size() / 2);
                Take(response, refResponse, refResponse.size() / 2);
                break;
            case 3:
                Take(code, refCode, c);
                Take(response, refResponse, c);
                break;
            default: break;
        }
        off += n;
    }
    QV_FUZZ_CHECK(Same(code, refCode) && Same(response, refResponse), "queues differ at the end");
    return 0;
}
