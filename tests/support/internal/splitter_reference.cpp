#include "splitter_reference.h"

#include <cstring>

namespace qvtest {

using qv::FrameRange;
using qv::IsStatusByte;
using qv::SplitterState;

namespace {

constexpr unsigned char kPrefix[6] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30};

inline uint8_t At(const char* buf, size_t i) { return static_cast<uint8_t>(buf[i]); }

// Position of the next frame prefix at or after i (all six bytes inside the
// chunk), or n when there is none.
size_t FindPrefix(const char* buf, size_t n, size_t i) {
    while (i + 5 < n) {
        const void* hit = std::memchr(buf + i, 0x02, n - 5 - i);
        if (hit == nullptr) return n;
        size_t j = static_cast<size_t>(static_cast<const char*>(hit) - buf);
        if (std::memcmp(buf + j, kPrefix, sizeof kPrefix) == 0) return j;
        i = j + 1;
    }
    return n;
}

// Position k >= max(i, 1) of the next ';' 03 preceded by a status byte, so that
// the frame ends at k + 1; n when there is none.
size_t FindFrameEnd(const char* buf, size_t n, size_t i) {
    if (i == 0) i = 1;
    while (i + 1 < n) {
        const void* hit = std::memchr(buf + i, ';', n - 1 - i);
        if (hit == nullptr) return n;
        size_t k = static_cast<size_t>(static_cast<const char*>(hit) - buf);
        if (At(buf, k + 1) == 0x03 && IsStatusByte(At(buf, k - 1))) return k;
        i = k + 1;
    }
    return n;
}

// Remembers how the chunk's last byte may continue a frame end in the next chunk.
void NoteLastByte(SplitterState& st, uint8_t last, bool previousIsStatus) {
    if (last == ';' && previousIsStatus) {
        st.pendingSemicolon = true;
        st.pendingStatus = false;
    } else if (IsStatusByte(last)) {
        st.pendingStatus = true;
        st.pendingSemicolon = false;
    } else {
        st.pendingStatus = false;
        st.pendingSemicolon = false;
    }
}

}  // namespace

FrameRange ReferenceSplitChunk(SplitterState& st, const char* buf, size_t n) {
    FrameRange r;
    if (n == 0) return r;
    if (st.rawMode) {
        r.start = 0;
        r.end = static_cast<int64_t>(n) - 1;
        return r;
    }

    size_t i = 0;
    // A frame carried over from the previous chunk may end in its first bytes.
    if (st.inFrame) {
        if (At(buf, 0) == 0x03 && st.pendingSemicolon) {
            r.start = 0;
            r.end = 0;
            st.inFrame = false;
            st.pendingSemicolon = false;
            i = 1;
        } else if (n == 1) {
            r.start = 0;
            r.end = 0;
            NoteLastByte(st, At(buf, 0), st.pendingStatus);
            return r;
        } else if (At(buf, 0) == ';' && At(buf, 1) == 0x03 && st.pendingStatus) {
            r.start = 0;
            r.end = 1;
            st.inFrame = false;
            st.pendingStatus = false;
            i = 2;
        }
    }

    while (i < n) {
        if (!st.inFrame) {
            st.pendingSemicolon = false;
            size_t j = FindPrefix(buf, n, i);
            if (j == n) break;
            st.inFrame = true;
            st.pendingStatus = false;
            r.start = static_cast<int64_t>(j);
            i = j + 5;
        }
        const int64_t s0 = r.start == -1 ? 0 : r.start;
        size_t k = FindFrameEnd(buf, n, i);
        if (k != n) {
            r.end = static_cast<int64_t>(k) + 1;
            r.start = s0;
            st.inFrame = false;
            st.pendingSemicolon = false;
            st.pendingStatus = false;
            i = k + 2;  // the byte right after 0x03 may start the next frame
            continue;
        }
        // The frame runs to the end of the chunk.
        const size_t last = n - 1;
        r.end = static_cast<int64_t>(last);
        r.start = s0;
        const bool prevStatus = last >= 1 && IsStatusByte(At(buf, last - 1));
        NoteLastByte(st, At(buf, last), prevStatus);
        break;
    }
    if (st.inFrame && r.start == -1) r.start = 0;
    return r;
}


}  // namespace qvtest
