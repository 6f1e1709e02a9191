// A reader that follows one image reply as its chunks arrive. Pure byte
// logic: the engine does the reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quorvia.h"

namespace qv {

// Follows one image reply (the answer to an image command) as chunks arrive.
// The reply is prefix 02 01 "0000", one byte, the echoed command, the
// barcode-location text (only when asked for), the 8-digit hexadecimal image
// length, the image and status ';' 03. An error reply is the prefix, one
// byte, the echoed command, status ';' 03: the device has no image.
//
// Bytes before the prefix are not part of the reply: Commit hands them back
// (the engine treats them as barcode data). The reader never reads beyond the
// bytes it received, and once it knows the length it offers room only up to
// the reply's end, so what follows the reply stays with the caller.
class ImageReplyReader {
public:
    enum class State { needMore, complete, noImage, locationError, lengthError };

    struct Setup {
        std::string command;        // as sent, without framing
        std::string word;           // "IMGGET" or "SOPIMG": offsets 7-12 of an error reply
        bool location = false;      // the reply carries barcode locations
        uint64_t maxLength = 0;     // largest acceptable image length
        uint64_t expectedLength = 0;  // the length the picture size implies, 0 when unknown
    };

    explicit ImageReplyReader(Setup setup);

    // Where the next read must put its bytes and how many it may put there
    // (never 0 while the state is needMore). May allocate: throws bad_alloc.
    char* Room(size_t* room);

    // Takes `n` bytes that were written at Room(). Bytes found before the
    // reply's prefix are appended to *outside.
    State Commit(size_t n, std::string* outside);

    State state() const { return state_; }
    // Valid once complete.
    const char* Image() const { return buf_.get() + imageStart_; }
    uint32_t ImageLength() const { return length_; }
    size_t ImageOffset() const { return imageStart_; }
    // The four barcode-location points, or null when the reply carries none.
    const STImgResolution* Locations() const { return setup_.location ? locations_ : nullptr; }
    // Bytes received after the end of the reply (complete, noImage).
    std::string_view Trailing() const;
    // The length field as received (for the log), or "".
    std::string LengthText() const;
    size_t Received() const { return fill_; }
    // The bytes of the reply held so far, from its prefix on.
    std::string_view Held() const { return std::string_view(buf_.get(), fill_); }
    // The longest the reply can be: framing, echo, location text and the
    // largest acceptable image.
    uint64_t ReplyLimit() const;
    // Where the reply of an image of the expected length ends: between *lo
    // and *hi (they differ by the room of a location text that could not be
    // read). False when no length is expected.
    bool ExpectedEnd(uint64_t* lo, uint64_t* hi) const;
    // Byte `back` positions before the end of the reply (complete) or of what
    // was received, for the log (0 when there is none).
    uint8_t Last(size_t back) const;

    // Largest read the reader offers at once.
    static constexpr size_t kChunk = 0x100000;

private:
    State Examine();
    void Reserve(size_t capacity);

    Setup setup_;
    std::unique_ptr<char[]> buf_;
    size_t capacity_ = 0;
    size_t fill_ = 0;              // R: bytes of the reply held, from its prefix on
    bool started_ = false;         // the prefix has been found
    bool lengthKnown_ = false;
    size_t lengthField_ = 0;       // offset of the length field
    size_t imageStart_ = 0;
    uint32_t length_ = 0;
    size_t end_ = 0;               // offset just past the reply
    State state_ = State::needMore;
    STImgResolution locations_[4] = {};
};

}  // namespace qv
