#include "fake_port_device.h"

#include <algorithm>

namespace qvtest {

void FakePortControl::QueueRead(Bytes chunk) {
    std::lock_guard<std::mutex> lock(m_);
    reads_.push_back(std::move(chunk));
    cv_.notify_all();
}

void FakePortControl::Unplug() {
    std::lock_guard<std::mutex> lock(m_);
    unplugged_ = true;
    cv_.notify_all();
}

bool FakePortControl::Cancelled() const {
    std::lock_guard<std::mutex> lock(m_);
    return cancelled_;
}

void FakePortControl::Cancel() {
    std::lock_guard<std::mutex> lock(m_);
    cancelled_ = true;
}

void FakePortControl::FailWritesFrom(int index) {
    std::lock_guard<std::mutex> lock(m_);
    failWritesFrom_ = index;
}

void FakePortControl::RejectFeatureReports(bool reject) {
    std::lock_guard<std::mutex> lock(m_);
    rejectFeatures_ = reject;
}

void FakePortControl::SetLineErrors() {
    std::lock_guard<std::mutex> lock(m_);
    lineErrors_ = true;
}

void FakePortControl::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_);
    responder_ = std::move(responder);
}

std::vector<FakePortControl::WriteRecord> FakePortControl::Writes() const {
    std::lock_guard<std::mutex> lock(m_);
    return writes_;
}

std::vector<Bytes> FakePortControl::FeatureReports() const {
    std::lock_guard<std::mutex> lock(m_);
    return features_;
}

int FakePortControl::WriteAttempts() const {
    std::lock_guard<std::mutex> lock(m_);
    return writeAttempts_;
}

bool FakePortControl::Destroyed() const {
    std::lock_guard<std::mutex> lock(m_);
    return destroyed_;
}

bool FakePortControl::WaitDestroyed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, limit, [this] { return destroyed_; });
}

size_t FakePortControl::FeatureReportsAtDestruction() const {
    std::lock_guard<std::mutex> lock(m_);
    return featuresAtDestruction_;
}

int32_t FakePortControl::ReadBlocking(uint8_t* buf, uint32_t cap) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return stop_ || unplugged_ || !reads_.empty(); });
    if (stop_) return 0;
    if (reads_.empty()) return -1;  // unplugged
    return TakeLocked(buf, cap);
}

int32_t FakePortControl::ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    auto ready = [this] { return unplugged_ || !reads_.empty(); };
    if (timeoutMs < 0) {
        cv_.wait(lock, ready);
    } else {
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!reads_.empty()) return TakeLocked(buf, cap);
    return unplugged_ ? -1 : 0;
}

uint32_t FakePortControl::QueuedInput() {
    std::lock_guard<std::mutex> lock(m_);
    uint32_t n = 0;
    for (const Bytes& b : reads_) n += static_cast<uint32_t>(b.size());
    return n;
}

void FakePortControl::DiscardInput() {
    std::lock_guard<std::mutex> lock(m_);
    reads_.clear();
}

void FakePortControl::RequestStop() {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
    cv_.notify_all();
}

void FakePortControl::ClearStop() {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = false;
}

bool FakePortControl::Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) {
    Responder responder;
    Bytes written(data, data + len);
    {
        std::lock_guard<std::mutex> lock(m_);
        const int index = writeAttempts_++;
        if (unplugged_ || cancelled_ || (failWritesFrom_ >= 0 && index >= failWritesFrom_)) return false;
        writes_.push_back({written, timeoutMs});
        responder = responder_;
    }
    // The answer is queued outside the lock, as a device would send it.
    if (responder) {
        for (Bytes& chunk : responder(written)) QueueRead(std::move(chunk));
    }
    return true;
}

bool FakePortControl::TakeLineErrors() {
    std::lock_guard<std::mutex> lock(m_);
    return std::exchange(lineErrors_, false);
}

bool FakePortControl::SetFeatureReport(const uint8_t* report, uint32_t len) {
    std::lock_guard<std::mutex> lock(m_);
    if (unplugged_ || rejectFeatures_) return false;
    features_.emplace_back(report, report + len);
    return true;
}

void FakePortControl::MarkDestroyed() {
    std::lock_guard<std::mutex> lock(m_);
    destroyed_ = true;
    featuresAtDestruction_ = features_.size();
    cv_.notify_all();
}

int32_t FakePortControl::TakeLocked(uint8_t* buf, uint32_t cap) {
    Bytes chunk = std::move(reads_.front());
    reads_.pop_front();
    const uint32_t n = std::min(static_cast<uint32_t>(chunk.size()), cap);
    std::copy(chunk.begin(), chunk.begin() + n, buf);
    return static_cast<int32_t>(n);
}

FakePortDevice::~FakePortDevice() { control_->MarkDestroyed(); }

int32_t FakePortDevice::ReadBlocking(uint8_t* buf, uint32_t cap) { return control_->ReadBlocking(buf, cap); }

int32_t FakePortDevice::ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) {
    return control_->ReadTimed(buf, cap, timeoutMs);
}

uint32_t FakePortDevice::QueuedInput() { return control_->QueuedInput(); }
void FakePortDevice::DiscardInput() { control_->DiscardInput(); }
void FakePortDevice::RequestStop() { control_->RequestStop(); }
void FakePortDevice::ClearStop() { control_->ClearStop(); }
void FakePortDevice::Cancel() { control_->Cancel(); }

bool FakePortDevice::Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) {
    return control_->Write(data, len, timeoutMs);
}

bool FakePortDevice::SetLine(const qv::platform::LineSettings&) { return false; }
bool FakePortDevice::TakeLineErrors() { return control_->TakeLineErrors(); }

bool FakePortDevice::SetFeatureReport(const uint8_t* report, uint32_t len) {
    return control_->SetFeatureReport(report, len);
}

std::pair<std::unique_ptr<qv::platform::PortDevice>, std::shared_ptr<FakePortControl>> MakeFakePort() {
    auto control = std::make_shared<FakePortControl>();
    return {std::make_unique<FakePortDevice>(control), control};
}

}  // namespace qvtest
