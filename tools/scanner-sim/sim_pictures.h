// The scanner's camera, seen from the device's side: the pictures it takes and
// its answers to the image commands (IMGGWH, IMGFMT, IMGGET^, IMGGET<values>,
// SOPIMG<values>). Pure code, no I/O: a command body in, the reply pieces out,
// so the same logic serves a scanner on a pty, on TCP or behind a USB node.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_config.h"

namespace qvsim {

struct PictureConfig {
    uint32_t width = 640;
    uint32_t height = 480;   // picture rows; a colour device's raw frame is 1.5 times as high
    bool colour = false;     // the device takes YUV 4:2:0 pictures
    std::optional<std::string> caps;  // capability sections after the echo; unset: made from the size
    bool echo_caret = true;  // the capability reply echoes "IMGGET^" (else "IMGGET")
    std::string locations = "120W80H|520W80H|520W400H|120W400H";  // barcode-location text
    std::optional<std::string> size_text;  // the IMGGWH answer after "IMGGWH", replacing "<w>W<h>H"
    std::optional<char> format_value;      // the IMGFMT value, replacing '0' / '1'
};

// A fault of the next picture reply (IMGGET<values> or SOPIMG...): used once.
struct PictureFault {
    enum class Kind { none, bad_length, cut, lead, silent, no_image, pause, bad_location };
    Kind kind = Kind::none;
    std::string text;           // bad_length: the length field; lead: the bytes; bad_location: the text
    size_t at = 0;              // cut, pause: reply bytes sent first
    std::chrono::milliseconds delay{0};  // pause: wait before the rest
};

// One write of a reply, `delay` after the previous one.
struct ReplyPiece {
    std::string bytes;
    std::chrono::milliseconds delay{0};
};

struct ImageAnswer {
    bool handled = false;             // the body was an image command
    std::vector<ReplyPiece> pieces;   // empty: the device stays silent
};

// Rows of the frame the device sends: the picture height, or 1.5 times it
// for a colour device.
uint32_t raw_height(const PictureConfig& cfg);

// The capability sections the device reports (cfg.caps, or the default for its size).
std::string capability_text(const PictureConfig& cfg);

// A grey picture, top row first. Its bytes include runs that look like frame
// ends and frame starts (06 ';' 03, 15 ';' 03, ';' 03, 02 01 "0000").
std::string grey_picture(uint32_t width, uint32_t height);
// A YUV 4:2:0 frame of width x (height x 3 / 2) bytes: the luma rows (the
// grey picture) and one row of V, U pairs per two luma rows.
std::string yuv_frame(uint32_t width, uint32_t height);
// A grey picture at a lower resolution: every `factor`-th pixel of every
// `factor`-th row (the pictures of R 1 and R 2 take factors 2 and 4).
std::string scaled_picture(const std::string& grey, uint32_t width, uint32_t height, uint32_t factor);
// The frame the device sends for IMGGET0T0R0F (valid until the next call on
// the same thread).
const std::string& raw_picture(const PictureConfig& cfg);
// A grey region of the picture: `w` x `h` pixels from (x, y).
std::string crop(const std::string& picture, uint32_t width, uint32_t x, uint32_t y, uint32_t w, uint32_t h);
// The region-of-interest picture (the bounding box of the barcode points) as
// an 8-bit BMP file, and the box itself.
bool roi_box(const PictureConfig& cfg, uint32_t* x, uint32_t* y, uint32_t* w, uint32_t* h);
std::string roi_bmp(const PictureConfig& cfg);
// A grey picture compressed as JPEG at the given quality (1..100).
std::string jpeg_picture(const std::string& grey, uint32_t width, uint32_t height, int quality);

// Answers an image command body (the text between the frame kind and ';' 03).
// `scripted` is the status scripted for the command (silent: no answer; NAK
// or ENQ: an error reply). Consumes `fault` when it applies.
ImageAnswer answer_image_command(const PictureConfig& cfg, PictureFault& fault, Status scripted, char frame_kind,
                                 std::string_view body);

// Control settings: "size=WxH", "colour=grey|yuv", "caps=<text>|default",
// "echo=caret|plain", "loc=<text>", "gwh=<text>|default", "fmt=<char>|default".
bool apply_picture_setting(PictureConfig& cfg, std::string_view setting, std::string& error);
// "badlen <8 chars>", "cut <n>", "lead <hex>", "silent", "noimage", "pause <n> <ms>",
// "badloc <text>", "none".
bool parse_picture_fault(const std::vector<std::string>& words, PictureFault& out, std::string& error);

}  // namespace qvsim
