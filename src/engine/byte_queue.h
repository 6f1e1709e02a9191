// A contiguous byte FIFO: bytes are appended and taken in bulk (memcpy), never
// one at a time. Taken bytes are reclaimed by compacting when the consumed
// head outgrows the live part.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace qv {

class ByteQueue {
public:
    size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    const char* data() const { return data_.data() + head_; }

    // Drops every byte; gives the memory back when the queue had grown large.
    void clear() {
        if (data_.capacity() > kKeepCapacity) {
            std::vector<char>().swap(data_);
        } else {
            data_.clear();
        }
        head_ = 0;
    }

    void append(const char* p, size_t n) {
        if (n == 0) return;
        if (head_ != 0 && head_ >= data_.size() - head_) compact();
        data_.insert(data_.end(), p, p + n);
    }

    // Moves up to n bytes from the front into out; returns the count.
    size_t pop(char* out, size_t n) {
        size_t take = n < size() ? n : size();
        if (take == 0) return 0;
        std::memcpy(out, data(), take);
        head_ += take;
        if (head_ == data_.size()) {
            data_.clear();
            head_ = 0;
        }
        return take;
    }

private:
    static constexpr size_t kKeepCapacity = 1 << 20;

    void compact() {
        const size_t live = size();
        if (live != 0) std::memmove(data_.data(), data_.data() + head_, live);
        data_.resize(live);
        head_ = 0;
    }

    std::vector<char> data_;
    size_t head_ = 0;
};

}  // namespace qv
