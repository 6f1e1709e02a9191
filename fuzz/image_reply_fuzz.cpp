// The image-reply reader fed a device's bytes in chunks: it never reads or
// writes outside its buffer, offers room while it needs bytes, loses and
// invents nothing (what it hands back before the reply plus what it holds is
// exactly what it was given), and what it reports lies inside what it holds.
//
// Input: [setup] [chunking] [bytes...]
//   setup bits 0-1: the command (IMGGET0T0R0F, IMGGET2T0R0F0I, SOPIMG0P1U1I0T0R0F0Q, IMGGET0T0R2F50Q3I)
//   setup bit 2:    the reply carries barcode locations
//   setup bits 3-7: the largest acceptable image length, 4^(n/4) - 1 .. (up to 2^31)
//   chunking:       seed of the chunk sizes (1 .. 256 bytes, or all at once when 0)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/image_reply.h"
#include "engine/image_reply_reader.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const char* kCommands[] = {"IMGGET0T0R0F", "IMGGET2T0R0F0I", "SOPIMG0P1U1I0T0R0F0Q", "IMGGET0T0R2F50Q3I"};
    const uint8_t setup = data[0];
    uint32_t seed = data[1];
    const std::string command = kCommands[setup & 3];
    qv::ImageReplyReader::Setup s;
    s.command = command;
    s.word = command.substr(0, 6);
    s.location = (setup & 4) != 0;
    s.maxLength = (uint64_t{1} << std::min(31, (setup >> 3) * 2)) - 1;
    qv::ImageReplyReader reader(s);
    const uint8_t* in = data + 2;
    const size_t n = size - 2;
    size_t fed = 0;
    std::string outside;
    using State = qv::ImageReplyReader::State;
    State state = State::needMore;
    while (fed < n && state == State::needMore) {
        size_t room = 0;
        char* dst = reader.Room(&room);
        QV_FUZZ_CHECK(room > 0 && room <= qv::ImageReplyReader::kChunk, "room %zu", room);
        size_t take = n - fed;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            take = std::min(take, size_t{1} + (seed >> 16) % 256);
        }
        take = std::min(take, room);
        std::memcpy(dst, in + fed, take);
        fed += take;
        state = reader.Commit(take, &outside);
        QV_FUZZ_CHECK(state == reader.state(), "state");
    }
    // Nothing lost, nothing invented.
    const std::string given(reinterpret_cast<const char*>(in), fed);
    const std::string_view held = reader.Held();
    QV_FUZZ_CHECK(outside.size() + held.size() == fed, "outside %zu + held %zu != fed %zu", outside.size(),
                  held.size(), fed);
    QV_FUZZ_CHECK(given.compare(0, outside.size(), outside) == 0, "outside bytes differ");
    QV_FUZZ_CHECK(given.compare(outside.size(), held.size(), held) == 0, "held bytes differ");
    if (!held.empty() && state != State::needMore) {
        QV_FUZZ_CHECK(held.substr(0, 6) == std::string_view("\x02\x01" "0000", 6), "reply without its prefix");
    }
    if (state == State::complete) {
        const size_t offset = reader.ImageOffset();
        QV_FUZZ_CHECK(reader.ImageLength() >= 1 && reader.ImageLength() <= s.maxLength, "length %u",
                      reader.ImageLength());
        QV_FUZZ_CHECK(offset + reader.ImageLength() + 3 + reader.Trailing().size() == held.size(), "layout");
        QV_FUZZ_CHECK(reader.Image() == held.data() + offset, "image pointer");
        uint32_t field = 0;
        QV_FUZZ_CHECK(qv::ParseImageLength(held.data() + offset - 8, &field) && field == reader.ImageLength(),
                      "length field");
        QV_FUZZ_CHECK((reader.Locations() != nullptr) == s.location, "locations");
    }
    if (state == State::noImage) {
        QV_FUZZ_CHECK(held.size() >= 10 + command.size(), "error reply too short");
    }
    (void)reader.Last(1);
    (void)reader.LengthText();
    return 0;
}
