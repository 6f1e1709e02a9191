#include "engine/stream_splitter.h"

#include <cstring>

namespace qv {
namespace {

// Scanning works from the end of a chunk. Only the last frame that starts in
// a chunk is its frame range, so the chunk is not walked byte by byte: the
// last prefix is found first, and then only as much of the chunk is examined
// as it takes to know whether that prefix really starts a frame (it does not
// when it lies inside a frame that began earlier and has not ended yet).

constexpr unsigned char kPrefix[6] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30};
constexpr size_t kNone = static_cast<size_t>(-1);

inline uint8_t At(const char* buf, size_t i) { return static_cast<uint8_t>(buf[i]); }

// Last occurrence of byte c in buf[0, n).
inline const char* LastByte(const char* buf, size_t n, char c) {
#if defined(__GLIBC__)
    return static_cast<const char*>(memrchr(buf, c, n));
#else
    for (size_t i = n; i > 0; --i) {
        if (buf[i - 1] == c) return buf + i - 1;
    }
    return nullptr;
#endif
}

// Last position p in [from, n) where the whole prefix lies inside the chunk
// (p + 5 < n); kNone when there is none.
size_t LastPrefix(const char* buf, size_t n, size_t from) {
    if (n < 6) return kNone;
    size_t end = n - 5;  // candidates are p < end
    while (end > from) {
        const char* hit = LastByte(buf + from, end - from, 0x02);
        if (hit == nullptr) return kNone;
        const size_t p = static_cast<size_t>(hit - buf);
        if (std::memcmp(buf + p, kPrefix, sizeof kPrefix) == 0) return p;
        end = p;
    }
    return kNone;
}

// First k in [max(i, 1), n - 1) with buf[k] = ';', buf[k + 1] = 03 and a status
// byte at k - 1: the frame ends at k + 1. kNone when there is none.
size_t FirstFrameEnd(const char* buf, size_t n, size_t i) {
    if (i == 0) i = 1;
    while (i + 1 < n) {
        const void* hit = std::memchr(buf + i, ';', n - 1 - i);
        if (hit == nullptr) return kNone;
        const size_t k = static_cast<size_t>(static_cast<const char*>(hit) - buf);
        if (At(buf, k + 1) == 0x03 && IsStatusByte(At(buf, k - 1))) return k;
        i = k + 1;
    }
    return kNone;
}

// The last position in [from, n) where a frame starts, scanning as if no
// frame were open at `from`; kNone when no frame starts there.
size_t LastFrameStart(const char* buf, size_t n, size_t from) {
    size_t p = LastPrefix(buf, n, from);
    while (p != kNone) {
        const size_t s = LastPrefix(buf, p, from);
        // p starts a frame unless it lies inside one that began at or before s
        // and has not ended before p. The first end after s ends the frame
        // that is open at s, whichever position started it.
        if (s == kNone || FirstFrameEnd(buf, p, s + 5) != kNone) return p;
        p = s;
    }
    return kNone;
}

// Remembers how the chunk's last byte may continue a frame end in the next chunk.
void NoteLastByte(SplitterState& st, uint8_t last, bool previousIsStatus) {
    const bool semicolon = last == ';' && previousIsStatus;
    st.pendingSemicolon = semicolon;
    st.pendingStatus = !semicolon && IsStatusByte(last);
}

// The frame that begins at s runs to the end of the chunk.
void OpenToTheEnd(SplitterState& st, const char* buf, size_t n, FrameRange& r, int64_t s) {
    r.start = s;
    r.end = static_cast<int64_t>(n) - 1;
    st.inFrame = true;
    NoteLastByte(st, At(buf, n - 1), n >= 2 && IsStatusByte(At(buf, n - 2)));
}

void Closed(SplitterState& st, FrameRange& r, int64_t s, int64_t e) {
    r.start = s;
    r.end = e;
    st.inFrame = false;
    st.pendingSemicolon = false;
    st.pendingStatus = false;
}

}  // namespace

FrameRange SplitChunk(SplitterState& st, const char* buf, size_t n) {
    FrameRange r;
    if (n == 0) return r;
    if (st.rawMode) {
        r.start = 0;
        r.end = static_cast<int64_t>(n) - 1;
        return r;
    }

    // Where frames may start: the whole chunk, or what follows the end of a
    // frame carried over from the previous chunk.
    size_t from = 0;
    size_t carriedEnd = kNone;
    if (st.inFrame) {
        if (At(buf, 0) == 0x03 && st.pendingSemicolon) {
            carriedEnd = 0;
        } else if (n == 1) {
            r.start = 0;
            r.end = 0;
            NoteLastByte(st, At(buf, 0), st.pendingStatus);
            return r;
        } else if (At(buf, 0) == ';' && At(buf, 1) == 0x03 && st.pendingStatus) {
            carriedEnd = 1;
        } else {
            const size_t k = FirstFrameEnd(buf, n, 0);
            if (k != kNone) carriedEnd = k + 1;
        }
        if (carriedEnd == kNone) {
            OpenToTheEnd(st, buf, n, r, 0);
            return r;
        }
        from = carriedEnd + 1;
    }

    const size_t p = from < n ? LastFrameStart(buf, n, from) : kNone;
    if (p != kNone) {
        // The byte right after a frame's 03 may start the next one: examined too.
        const size_t k = FirstFrameEnd(buf, n, p + 5);
        if (k != kNone) {
            Closed(st, r, static_cast<int64_t>(p), static_cast<int64_t>(k) + 1);
        } else {
            OpenToTheEnd(st, buf, n, r, static_cast<int64_t>(p));
        }
        return r;
    }
    if (carriedEnd != kNone) {
        Closed(st, r, 0, static_cast<int64_t>(carriedEnd));
        return r;
    }
    st.pendingSemicolon = false;  // outside any frame
    return r;
}

void RouteChunk(const char* buf, size_t n, FrameRange r, ByteQueue& codeQueue, ByteQueue& responseQueue,
                size_t cap) {
    if (codeQueue.size() > cap) codeQueue.clear();
    const bool hasFrame = !(r.start == -1 && r.end == -1);
    if (!hasFrame) {
        codeQueue.append(buf, n);
    } else {
        if (r.start > 0) codeQueue.append(buf, static_cast<size_t>(r.start));
        if (r.end + 1 < static_cast<int64_t>(n)) {
            codeQueue.append(buf + r.end + 1, n - static_cast<size_t>(r.end + 1));
        }
    }
    if (responseQueue.size() > cap) responseQueue.clear();
    if (hasFrame && r.start <= r.end) {
        responseQueue.append(buf + r.start, static_cast<size_t>(r.end - r.start + 1));
    }
}

}  // namespace qv
