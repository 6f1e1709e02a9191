// The scanner's short image replies and reply fields, read as pure byte
// logic (no I/O, no lock): the size reply, the colour-type reply, the
// barcode-location text and the image length field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvia.h"

namespace qv {

// The layout every image reply shares: the response prefix 02 01 "0000", one
// byte, then the echoed command or the value at offset 7; an image's length
// is 8 hexadecimal digits; status, ';' and 03 end a reply.
inline constexpr char kReplyPrefix[6] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30};
inline constexpr size_t kReplyPrefixLen = sizeof kReplyPrefix;
inline constexpr size_t kReplyValueOffset = 7;
inline constexpr size_t kImageLengthDigits = 8;
inline constexpr size_t kReplySuffixLen = 3;

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

}  // namespace qv
