#include "engine/image_reply_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/log.h"
#include "engine/image_reply.h"
#include "engine/stream_splitter.h"

namespace qv {
namespace {

// The reader's buffer until the length is known (the header is short); then
// it grows once to the whole reply.
constexpr size_t kHeadCapacity = 0x10000;

}  // namespace

ImageReplyReader::ImageReplyReader(Setup setup) : setup_(std::move(setup)) {}

void ImageReplyReader::Reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (fill_ != 0) std::memcpy(grown.get(), buf_.get(), fill_);
    buf_ = std::move(grown);
    capacity_ = capacity;
}

char* ImageReplyReader::Room(size_t* room) {
    if (lengthKnown_) {
        Reserve(end_);
        *room = std::min(end_ - fill_, kChunk);
    } else {
        Reserve(kHeadCapacity);
        *room = std::min(capacity_ - fill_, kChunk);
    }
    return buf_.get() + fill_;
}

ImageReplyReader::State ImageReplyReader::Commit(size_t n, std::string* outside) {
    fill_ += n;
    if (!started_) {
        const std::string_view held(buf_.get(), fill_);
        size_t start = held.find(std::string_view(kReplyPrefix, kReplyPrefixLen));
        if (start == std::string_view::npos) {
            // Keep the longest tail that may be the prefix cut by a chunk boundary.
            size_t keep = std::min(fill_, kReplyPrefixLen - 1);
            while (keep > 0 && std::memcmp(buf_.get() + fill_ - keep, kReplyPrefix, keep) != 0) --keep;
            start = fill_ - keep;
        } else {
            started_ = true;
            QV_LOG("%s %d prefixIndex=%d", "ReadImage", __LINE__, static_cast<int>(start));
        }
        if (start != 0) {
            outside->append(buf_.get(), start);
            std::memmove(buf_.get(), buf_.get() + start, fill_ - start);
            fill_ -= start;
        }
        if (!started_) return state_;
    }
    state_ = Examine();
    return state_;
}

ImageReplyReader::State ImageReplyReader::Examine() {
    const size_t fieldStart = kReplyValueOffset + setup_.command.size();  // D
    const size_t errorLen = fieldStart + kReplySuffixLen;                // E
    if (!lengthKnown_) {
        // An error reply is E bytes long; until E bytes are here nothing can be decided.
        if (fill_ < errorLen) return State::needMore;
        const char* b = buf_.get();
        if (std::memcmp(b + kReplyValueOffset, setup_.word.data(), std::min<size_t>(setup_.word.size(), 6)) == 0 &&
            IsStatusByte(static_cast<uint8_t>(b[errorLen - 3])) && b[errorLen - 2] == ';' &&
            static_cast<uint8_t>(b[errorLen - 1]) == 0x03) {
            end_ = errorLen;
            return State::noImage;
        }
        size_t field = fieldStart;
        if (setup_.location) {
            const size_t avail = std::min(fill_, fieldStart + kLocationTextLimit) - fieldStart;
            size_t used = 0;
            const LocationParse lp = ParseBarcodeLocation(b + fieldStart, avail, locations_, &used);
            if (lp == LocationParse::malformed) return State::locationError;
            if (lp == LocationParse::incomplete) {
                return avail >= kLocationTextLimit ? State::locationError : State::needMore;
            }
            field += used;
        }
        lengthField_ = field;
        if (fill_ < field + kImageLengthDigits) return State::needMore;
        uint32_t length = 0;
        if (!ParseImageLength(b + field, &length) || length == 0 || length > setup_.maxLength) {
            return State::lengthError;
        }
        length_ = length;
        imageStart_ = field + kImageLengthDigits;
        end_ = imageStart_ + length + kReplySuffixLen;
        lengthKnown_ = true;
        QV_LOG("[%s][%d]szLen=%s, devImgLen=%d\n", "ReadImage", __LINE__, LengthText().c_str(),
               static_cast<int>(length));
    }
    return fill_ >= end_ ? State::complete : State::needMore;
}

uint64_t ImageReplyReader::ReplyLimit() const {
    return kReplyValueOffset + setup_.command.size() + (setup_.location ? kLocationTextLimit : 0) + kImageLengthDigits +
           setup_.maxLength + kReplySuffixLen;
}

bool ImageReplyReader::ExpectedEnd(uint64_t* lo, uint64_t* hi) const {
    if (setup_.expectedLength == 0) return false;
    const uint64_t field = lengthField_ != 0 ? lengthField_ : kReplyValueOffset + setup_.command.size();
    *lo = field + kImageLengthDigits + setup_.expectedLength + kReplySuffixLen;
    *hi = *lo + (lengthField_ == 0 && setup_.location ? kLocationTextLimit : 0);
    return true;
}

std::string_view ImageReplyReader::Trailing() const {
    if ((state_ != State::complete && state_ != State::noImage) || fill_ <= end_) return {};
    return std::string_view(buf_.get() + end_, fill_ - end_);
}

std::string ImageReplyReader::LengthText() const {
    if (!started_ || lengthField_ == 0 || fill_ < lengthField_) return {};
    return std::string(buf_.get() + lengthField_, std::min(kImageLengthDigits, fill_ - lengthField_));
}

uint8_t ImageReplyReader::Last(size_t back) const {
    const size_t end = state_ == State::complete ? end_ : fill_;
    return back >= 1 && back <= end ? static_cast<uint8_t>(buf_[end - back]) : 0;
}

}  // namespace qv
