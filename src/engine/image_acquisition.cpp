// Pictures from the scanner: the size and colour-type queries, the capability
// check that builds the image command, and the image replies read in raw mode.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "engine/image_capabilities.h"
#include "engine/image_files.h"
#include "engine/image_reply.h"
#include "engine/qvscan.h"

namespace qv {
namespace {

constexpr int32_t kImageReadTimeoutMs = 2000;
constexpr size_t kQueryReplyLimit = 1024;
constexpr size_t kDrainChunk = 0x100000;
constexpr size_t kQueueCap = 0xA00000;
// Reads of a picture that return less than this are followed by a short pause.
constexpr size_t kGatherBelow = 0x40000;
constexpr int kGatherPauseUs = 1000;
constexpr size_t kCommandCapacity = 100;
// The region-of-interest reply, framing included, fits in this many bytes.
constexpr uint64_t kRoiReplyLimit = 10370000;
// Prefix, one byte, and the 8-digit length field before an image; its suffix after.
constexpr uint64_t kImageFraming = 7 + 8 + 3;

// Offset just past the last 06 ';' 03 in the bytes, or npos.
size_t AfterLastFrameEnd(std::string_view bytes) {
    static constexpr char kEnd[3] = {0x06, ';', 0x03};
    const size_t at = bytes.rfind(std::string_view(kEnd, 3));
    return at == std::string_view::npos ? at : at + 3;
}

}  // namespace

CQVScan::QueryOutcome CQVScan::QueryFrameLocked(T_DevicesInfo* device, const char* command,
                                                std::vector<char>& reply) {
    responseQueue.clear();
    if (!WriteLocked(device, command, static_cast<uint32_t>(std::strlen(command)), true)) {
        return QueryOutcome::failed;
    }
    size_t total = 0;
    bool lost = false;
    while (total < kQueryReplyLimit) {
        reply.resize(kQueryReplyLimit);
        const int32_t n = Read2(device, reply.data() + total, static_cast<uint32_t>(kQueryReplyLimit - total),
                                kImageReadTimeoutMs);
        if (n <= 0) {
            QV_LOG("%s, %d Read2 bufLen <= 0 break", command, __LINE__);
            lost = n < 0;
            break;
        }
        total += static_cast<size_t>(n);
        if (IsCompleteResponse(reply.data(), total)) break;
    }
    reply.resize(total);
    if (!IsCompleteResponse(reply.data(), total)) {
        QV_LOG("%s %d is not command recv", command, __LINE__);
        return lost ? QueryOutcome::failed : QueryOutcome::incomplete;
    }
    return QueryOutcome::complete;
}

bool CQVScan::GetPicSize(T_DevicesInfo* device, int32_t* width, int32_t* height) {
    if (device == nullptr || width == nullptr || height == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    std::vector<char> reply;
    const QueryOutcome outcome = QueryFrameLocked(device, "IMGGWH", reply);
    if (outcome != QueryOutcome::complete) {
        // A failed write or a lost device keeps the transport's text.
        if (outcome == QueryOutcome::incomplete) SetLastErrorCode(kErrImageSize);
        return false;
    }
    const size_t n = reply.size();
    QV_LOG("%s %d recvBuffer=%02x %02x\n", "GetPicSize", __LINE__, static_cast<uint8_t>(reply[n - 2]),
           static_cast<uint8_t>(reply[n - 1]));
    if (!ParsePicSizeReply(reply.data(), n, width, height)) {
        QV_LOG("%s %d size reply not usable: %.*s\n", "GetPicSize", __LINE__, static_cast<int>(n), reply.data());
        SetLastErrorCode(kErrImageSize);
        return false;
    }
    return true;
}

int32_t CQVScan::GetImageColorType(T_DevicesInfo* device) {
    if (device == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    std::vector<char> reply;
    if (QueryFrameLocked(device, "IMGFMT", reply) != QueryOutcome::complete) return 0;
    return ColorTypeFromReply(reply.data(), reply.size());
}

bool CQVScan::CheckImgParamAndCreateCmd(T_DevicesInfo* device, const ImgParam& param, char* cmd) {
    if (device == nullptr || cmd == nullptr) return false;
    std::snprintf(cmd, kCommandCapacity, "IMGGET");
    std::vector<char> reply;
    const QueryOutcome outcome = QueryFrameLocked(device, "IMGGET^", reply);
    QV_LOG("device support param: %.*s\n", static_cast<int>(reply.size()), reply.data());
    if (outcome == QueryOutcome::failed) return false;  // the transport's text
    ImgCapabilities caps;
    if (outcome != QueryOutcome::complete || !ParseImgCapabilities(reply.data(), reply.size(), &caps)) {
        // The device told nothing usable about its parameters.
        SetLastErrorCode(kErrImageData);
        return false;
    }
    std::string command;
    const int32_t refused = BuildImgCommand(caps, param, &command);
    if (refused != kOk) {
        SetLastErrorCode(refused);
        return false;
    }
    std::snprintf(cmd, kCommandCapacity, "%s", command.c_str());
    QV_LOG("final cmd=%s\n", cmd);
    return true;
}

bool CQVScan::GetPicData(T_DevicesInfo* device, ImgParam param, char* out, uint32_t* outLen,
                         STImgResolution* imgR) {
    if (device == nullptr || out == nullptr || outLen == nullptr || *outLen == 0) {
        SetLastErrorCode(kErrInvalidParam);
        QV_LOG("%s %d param error\n", "GetPicData", __LINE__);
        return false;
    }
    if (param.t == 2 && imgR == nullptr) {
        SetLastErrorCode(kErrNeedResolution);
        QV_LOG("%s %d imgParam.t == 2 && imgR == NULL\n", "GetPicData", __LINE__);
        return false;
    }
    QV_LOG("%s %d GetPicSize begin\n", "GetPicData", __LINE__);
    int32_t width = 0;
    int32_t height = 0;
    if (!GetPicSize(device, &width, &height)) return false;
    QV_LOG("%s %d GetPicSize end imgWidth=%d, imgHeight=%d\n", "GetPicData", __LINE__, width, height);
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    char cmd[kCommandCapacity] = {};
    QV_LOG("%s %d CheckImgParamAndCreateCmd begin\n", "GetPicData", __LINE__);
    const bool accepted = CheckImgParamAndCreateCmd(device, param, cmd);
    QV_LOG("%s %d CheckImgParamAndCreateCmd end\n", "GetPicData", __LINE__);
    if (!accepted) {
        QV_LOG("img param error\n");
        return false;
    }
    ImageReplyReader::Setup setup;
    setup.command = cmd;
    setup.word = "IMGGET";
    setup.location = param.t == 2;
    setup.maxLength = 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) + 2000;
    // A whole picture of raw pixels is width x height bytes (F = 2 asks for
    // JPEG data, a region for less).
    if (param.f != 2 && setup.command.back() != 'B') {
        setup.expectedLength = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    }
    return FetchImageLocked(device, std::move(setup), out, outLen, imgR);
}

bool CQVScan::GetRoiPicData(T_DevicesInfo* device, RoiImgParam p, char* out, uint32_t* outLen) {
    if (device == nullptr || out == nullptr || outLen == nullptr || *outLen == 0) {
        SetLastErrorCode(kErrInvalidParam);
        QV_LOG("%s %d param error\n", "GetRoiPicData", __LINE__);
        return false;
    }
    char cmd[kCommandCapacity];
    std::snprintf(cmd, sizeof cmd, "SOPIMG%dP%dU%dI%dT%dR%dF%dQ", p.P, p.U, p.I, p.T, p.R, p.F, p.Q);
    ImageReplyReader::Setup setup;
    setup.command = cmd;
    setup.word = "SOPIMG";
    // The whole reply, framing included, must fit the region's receive buffer.
    setup.maxLength = kRoiReplyLimit - kImageFraming - setup.command.size();
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    return FetchImageLocked(device, std::move(setup), out, outLen, nullptr);
}

bool CQVScan::GetRawPicData(T_DevicesInfo* device, char* out, int32_t length) {
    if (device == nullptr || out == nullptr || length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    int32_t width = 0;
    int32_t height = 0;
    if (!GetPicSize(device, &width, &height) || int64_t{width} * height != length) {
        SetLastErrorCode(kErrImageSize);
        return false;
    }
    ImageReplyReader::Setup setup;
    setup.command = "IMGGET0T0R0F";
    setup.word = "IMGGET";
    setup.maxLength = static_cast<uint64_t>(length);
    setup.expectedLength = static_cast<uint64_t>(length);
    uint32_t got = static_cast<uint32_t>(length);
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    if (!FetchImageLocked(device, std::move(setup), out, &got, nullptr)) return false;
    if (got != static_cast<uint32_t>(length)) {
        SetLastErrorCode(kErrImageSize);
        return false;
    }
    return true;
}

bool CQVScan::ConvertImageColorSpace(const char* src, int32_t len, STImgResolution size, char* out) {
    return qv::ConvertImageColorSpace(reinterpret_cast<const uint8_t*>(src), len, size.width, size.height,
                                      reinterpret_cast<uint8_t*>(out));
}

bool CQVScan::FetchImageLocked(T_DevicesInfo* device, ImageReplyReader::Setup setup, char* out, uint32_t* outLen,
                               STImgResolution* imgR) {
    const std::string command = setup.command;
    ImageReplyReader reader(std::move(setup));
    responseQueue.clear();
    const bool written = WriteLocked(device, command.c_str(), static_cast<uint32_t>(command.size()), true);
    QV_LOG("[%s][%d] isWritedOK=%d\n", "ReadImage", __LINE__, written ? 1 : 0);
    if (!written) return false;
    QV_LOG("%s %d Read Image begin\n", "ReadImage", __LINE__);
    const bool ok = ReadImageReply(device, reader);
    QV_LOG("%s %d Read Image end\n", "ReadImage", __LINE__);
    if (!ok) return false;
    const uint32_t length = reader.ImageLength();
    if (length > *outLen) {
        // A picture cut to the caller's buffer would be a wrong picture.
        *outLen = length;
        SetLastErrorCode(kErrImageTooLong);
        return false;
    }
    std::memcpy(out, reader.Image(), length);
    *outLen = length;
    if (imgR != nullptr && reader.Locations() != nullptr) std::memcpy(imgR, reader.Locations(), 4 * sizeof *imgR);
    return true;
}

bool CQVScan::ReadImageReply(T_DevicesInfo* device, ImageReplyReader& reader) {
    using State = ImageReplyReader::State;
    splitter.rawMode = true;
    State state = State::needMore;
    int32_t n = 0;
    try {
        std::string outside;
        while (state == State::needMore) {
            size_t room = 0;
            char* dst = reader.Room(&room);
            n = ReadImageBytes(device, dst, static_cast<uint32_t>(room));
            if (n <= 0) break;
            outside.clear();
            state = reader.Commit(static_cast<size_t>(n), &outside);
            if (!outside.empty()) RouteOutsideReply(outside.data(), outside.size());
            // A fast device delivers a picture in many small pieces; waking for
            // each costs more than the bytes. A short pause lets them gather
            // (the port stream buffers megabytes meanwhile).
            if (state == State::needMore && static_cast<size_t>(n) < kGatherBelow && room > kGatherBelow) {
                std::this_thread::sleep_for(std::chrono::microseconds(kGatherPauseUs));
            }
        }
        switch (state) {
            case State::complete:
                QV_LOG("devImgLen=%d, readLen=%d, prefixLen=%d,suffixLen=%d, recvBuffer[readLen - 1]=%02x, "
                       "recvBuffer[readLen - 2]=%02x, recvBuffer[readLen - 3]=%02x\n",
                       static_cast<int>(reader.ImageLength()), static_cast<int>(reader.Received()),
                       static_cast<int>(reader.ImageOffset()), 3, reader.Last(1), reader.Last(2), reader.Last(3));
                EndRawMode(reader.Trailing());
                return true;
            case State::noImage:
                QV_LOG("no image data\n");
                EndRawMode(reader.Trailing());
                SetLastErrorCode(kErrNoImage);
                return false;
            case State::locationError:
                QV_LOG("[%s][%d] code error\n", "ReadImage", __LINE__);
                EndRawMode(DrainImageReply(device, reader));
                SetLastErrorCode(kErrBarcodeLocation);
                return false;
            case State::lengthError: {
                const std::string field = reader.LengthText();
                QV_LOG("[%s][%d] pic length error szLen=%s devImgLen=%d\n", "ReadImage", __LINE__, field.c_str(), 0);
                EndRawMode(DrainImageReply(device, reader));
                QV_LOG("[%s][%d] pic length error\n", "ReadImage", __LINE__);
                SetLastErrorCode(kErrImageLength);
                return false;
            }
            case State::needMore:
                break;
        }
    } catch (...) {
        splitter = SplitterState{};
        responseQueue.clear();
        throw;
    }
    // The reply stopped coming, or the device was lost or its handle closed.
    QV_LOG("readLen=%d %02X %02X\n", static_cast<int>(reader.Received()), reader.Last(2), reader.Last(1));
    EndRawMode({});
    if (n == 0) SetLastErrorCode(kErrImageData);
    return false;
}

int32_t CQVScan::ReadImageBytes(T_DevicesInfo* device, char* dst, uint32_t room) {
    // What the device has delivered already comes without waiting for it (and
    // without waking for each piece the port brought in); only when nothing
    // is there does the read wait.
    CCommunicationFactory* t = TransportFor(device);
    const int32_t n = t != nullptr ? t->ReadBuffered(device, dst, room) : 0;
    if (n > 0) return n;
    return Read2(device, dst, room, kImageReadTimeoutMs);
}

std::string CQVScan::DrainImageReply(T_DevicesInfo* device, const ImageReplyReader& reader) {
    std::string held(reader.Held());
    std::vector<char> scratch(kDrainChunk);
    // Reads more of the reply, at most up to `upTo` bytes held; false when
    // nothing more came.
    const auto readMore = [&](uint64_t upTo) {
        const uint64_t room = std::min<uint64_t>(kDrainChunk, upTo - held.size());
        const int32_t n = Read2(device, scratch.data(), static_cast<uint32_t>(room), kImageReadTimeoutMs);
        if (n <= 0) return false;
        held.append(scratch.data(), static_cast<size_t>(n));
        return true;
    };
    // When the picture size tells the image's length, the reply ends right
    // there (within the room of a location text that could not be read).
    uint64_t lo = 0, hi = 0;
    if (reader.ExpectedEnd(&lo, &hi) && hi <= reader.ReplyLimit()) {
        while (held.size() < hi && readMore(hi)) {
        }
        for (uint64_t end = std::min<uint64_t>(hi, held.size()); end >= lo && end >= 3; --end) {
            if (IsStatusByte(static_cast<uint8_t>(held[end - 3])) && held[end - 2] == ';' &&
                static_cast<uint8_t>(held[end - 1]) == 0x03) {
                QV_LOG("find end");
                return held.substr(end);
            }
        }
    }
    // Otherwise the end is a guess: ACK ';' 03 may be picture bytes too. The
    // first piece that holds them ends the reply at their last place in it;
    // what follows them there is kept for the listener. The drain never
    // takes more than the reply could hold.
    size_t from = 0;
    for (;;) {
        const size_t end = AfterLastFrameEnd(std::string_view(held).substr(from));
        if (end != std::string_view::npos) {
            QV_LOG("find end");
            return held.substr(from + end);
        }
        from = held.size();
        if (held.size() >= reader.ReplyLimit() || !readMore(reader.ReplyLimit())) return {};
        if (held.size() > kDrainChunk) {
            held.erase(0, from);  // only the newest piece matters from here on
            from = 0;
        }
    }
}

void CQVScan::RouteOutsideReply(const char* data, size_t n) {
    SplitterState normal = splitter;
    normal.rawMode = false;
    const FrameRange range = SplitChunk(normal, data, n);
    ByteQueue replies;  // a reply nobody waits for
    RouteChunk(data, n, range, codeQueue, replies, kQueueCap);
    normal.rawMode = splitter.rawMode;
    splitter = normal;
}

void CQVScan::EndRawMode(std::string_view beyond) {
    splitter = SplitterState{};
    std::vector<char> queued(responseQueue.size());
    if (!queued.empty()) responseQueue.pop(queued.data(), queued.size());
    responseQueue.clear();
    if (!beyond.empty()) RouteOutsideReply(beyond.data(), beyond.size());
    if (!queued.empty()) RouteOutsideReply(queued.data(), queued.size());
}

}  // namespace qv
