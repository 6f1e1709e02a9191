// The scanner's image replies, read as pure byte logic (no I/O, no lock):
// the size reply, the capability reply and the image command built from it,
// the barcode-location text, the length field, the colour-type reply, and a
// reader that follows one image reply as its chunks arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvia.h"

namespace qv {

// Largest picture (width x height) the engine accepts from a size reply:
// 16384 x 16384. Every size computed from it (4 x w x h, 3 x w x h + 2000,
// 2 x w x h) fits in 32 bits.
constexpr int64_t kMaxPicturePixels = int64_t{1} << 28;

// True when a picture of width x height can be fetched: both at least 1 and
// the product at most kMaxPicturePixels.
bool PictureSizeUsable(int64_t width, int64_t height);

// Reply to "IMGGWH": the text after "IMGGWH" holds the width before the first
// 'W' and the height between that 'W' and the first 'H' (leading decimal
// digits each). False when a letter is missing, the 'H' comes first, a value
// has no leading digit or does not fit, or the size is not usable.
bool ParsePicSizeReply(const char* reply, size_t len, int32_t* width, int32_t* height);

// Reply to "IMGFMT" (a complete response frame): 1 grey, 2 colour (YUV 4:2:0),
// 0 unknown value. A status other than ACK means grey. Anything that is not a
// complete frame gives 0.
int32_t ColorTypeFromReply(const char* reply, size_t len);

// What a device accepts, from its capability reply to "IMGGET^".
struct ImgCapabilities {
    // A list of allowed values, kept as inclusive ranges (a range "m-n" of a
    // hostile device may span billions of values).
    struct Range {
        int64_t lo;
        int64_t hi;
    };
    using List = std::vector<Range>;
    List t, r, f, q, i, a;
    // B: Bmin_x, Bmin_y, Bmin_x2, Bmin_y2, Bmax_x, Bmax_y, Bmax_x2, Bmax_y2.
    bool hasB = false;
    int32_t b[8] = {};

    static bool Allows(const List& list, int32_t value);
};

// Parses a capability reply. The sections follow the echoed command: the
// reply may echo "IMGGET^" or just "IMGGET" (the first section starts after
// whichever it is). For T, R, F, Q, I, A, B in this order the section runs
// from the current position up to the letter; its pieces are separated by
// '.', else ',', else '|'; a piece is a number or a range "m-n". B holds one
// range of two 16-digit texts (four 4-digit fields each). False, with the
// log line naming the piece, when a piece is not what it must be.
bool ParseImgCapabilities(const char* reply, size_t len, ImgCapabilities* caps);

// Builds the image command for `p` from what the device accepts: "IMGGET",
// then "%dT%dR%dF", then "%dQ" when F = 2, "%dI" when the device lists I
// values, "%dA" when F = 4, and "<b>B" when the device gives B bounds and the
// caller a region. Returns 0, or the error code of the first refused value
// (-1023 T ... -1029 B). A region must be exactly 16 decimal digits.
int32_t BuildImgCommand(const ImgCapabilities& caps, const ImgParam& p, std::string* command);

// Outcome of reading the barcode-location text.
enum class LocationParse { complete, incomplete, malformed };

// The most bytes the location text may take, counted from its start.
constexpr size_t kLocationTextLimit = 44;

// Reads four groups "<x>W<y>H" separated by '|' (spaces inside ignored) from
// `avail` bytes. complete: `out` filled and *consumed is the text's length up
// to and including the fourth 'H'. incomplete: the bytes so far are a valid
// start. malformed: anything else, or a value above INT32_MAX. Never reads
// past `avail`.
LocationParse ParseBarcodeLocation(const char* text, size_t avail, STImgResolution out[4], size_t* consumed);

// The 8-character hexadecimal length field. False when a character is not a
// hexadecimal digit.
bool ParseImageLength(const char* field, uint32_t* length);

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
