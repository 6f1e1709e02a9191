// Configuration read and write: the device's settings saved as an XML file,
// and an XML file's settings written to the device in batches.
#include <tinyxml2.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "engine/config_xml.h"
#include "engine/qvscan.h"
#include "engine/settings_text.h"

namespace qv {
namespace {

constexpr int32_t kQueryTimeoutMs = 2000;       // per Read2 call of a query
constexpr size_t kShortQueryLimit = 1024;       // QRYSYS and DFMQCU replies
constexpr int32_t kBatchReplyTimeoutMs = 3000;  // per Read2 call of a batch reply
constexpr size_t kBatchReplyCapacity = 20480;
constexpr int kPauseMs = 10;                    // between elements and after each batch

void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<char> BatchFrame(const std::string& text) {
    const char head[] = {0x7E, 0x01, '0', '0', '0', '0', '@'};
    std::vector<char> frame(head, head + sizeof head);
    frame.insert(frame.end(), text.begin(), text.end());
    frame.push_back(';');
    frame.push_back(0x03);
    return frame;
}

int Shown(const std::vector<char>& bytes) { return static_cast<int>(bytes.size()); }

}  // namespace

std::vector<char> CQVScan::ConfigQuery(T_DevicesInfo* device, const char* command, size_t limit, bool* written) {
    std::vector<char> reply;
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    responseQueue.clear();
    *written = WriteLocked(device, command, static_cast<uint32_t>(std::strlen(command)), true);
    if (!*written) return reply;
    bool lost = false;
    CollectResponse(device, reply, limit, kQueryTimeoutMs, &lost);
    return reply;
}

bool CQVScan::QueryAllSettings(T_DevicesInfo* device, std::string& text) {
    text.clear();
    bool written = false;
    const std::vector<char> reply = ConfigQuery(device, "@*", kSettingsReplyCapacity, &written);
    if (reply.empty()) return false;
    // The text starts after the prefix and the kind byte.
    if (reply.size() > 7) text.assign(reply.begin() + 7, reply.end());
    return true;
}

std::string CQVScan::QueryProductName(T_DevicesInfo* device) {
    bool written = false;
    const std::vector<char> reply = ConfigQuery(device, "QRYSYS", kShortQueryLimit, &written);
    return ProductNameFromReply(std::string_view(reply.data(), reply.size()));
}

std::string CQVScan::QueryDfmqcu(T_DevicesInfo* device) {
    bool written = false;
    const std::vector<char> reply = ConfigQuery(device, "DFMQCU", kShortQueryLimit, &written);
    if (!written) return std::string();
    return DfmqcuValueFromReply(std::string_view(reply.data(), reply.size()));
}

bool CQVScan::ReadDevConfiguration(T_DevicesInfo* device, const char* fileName) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::string text;
    const bool read = QueryAllSettings(device, text);
    QV_LOG("ReadDevConfiguration isReadOK=%d cfglen=%d\n", read ? 1 : 0, static_cast<int>(text.size()));
    if (!read) {
        SetLastErrorCode(kErrReadConfig);
        return false;
    }
    const std::vector<SettingRecord> records = ParseSettings(text);
    const std::string product = QueryProductName(device);
    const std::string dfmadd = QueryDfmqcu(device);
    if (!SaveSettingsXml(fileName, records, product, dfmadd)) {
        SetLastErrorCode(kErrOpenXml);
        return false;
    }
    return true;
}

bool CQVScan::ConfigBatchExchange(T_DevicesInfo* device, const std::vector<char>& frame, std::vector<char>& reply) {
    reply.clear();
    // The write and the read of its reply are one exchange: no other reader
    // (a listener, a command from another thread) can take the reply between
    // them, and no reply routed before this write is taken for it.
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    responseQueue.clear();
    if (!WriteLocked(device, frame.data(), static_cast<uint32_t>(frame.size()), false)) {
        QV_LOG("%s %d Write false", "WriteCfgToDev", __LINE__);
        return false;
    }
    QV_LOG("%s %d Write:%.*s", "WriteCfgToDev", __LINE__, Shown(frame), frame.data());
    // One byte more than the capacity tells a reply that does not fit.
    bool lost = false;
    CollectResponse(device, reply, kBatchReplyCapacity + 1, kBatchReplyTimeoutMs, &lost);
    if (reply.size() > kBatchReplyCapacity) {
        SetLastErrorCode(kErrLenNotEnough);
        reply.clear();
    } else if (reply.empty() && !lost) {
        // A silent device sets no text of its own: the settings did not arrive.
        SetLastErrorCode(kErrWriteConfig);
    }
    if (reply.empty()) {
        QV_LOG("%s %d Read false", "WriteCfgToDev", __LINE__);
        return false;
    }
    QV_LOG("%s %d Read:%.*s", "WriteCfgToDev", __LINE__, Shown(reply), reply.data());
    return true;
}

bool CQVScan::WriteCfgToDev(T_DevicesInfo* device, const char* fileName) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(fileName) != tinyxml2::XML_SUCCESS) {
        QV_LOG("%s %d load %s: %s", "WriteCfgToDev", __LINE__, fileName, doc.ErrorStr());
        SetLastErrorCode(kErrOpenXml);
        return false;
    }
    const ConfigWritePlan plan = PlanConfigWrite(doc);
    std::string refused = "[";
    bool allAccepted = true;
    std::vector<char> reply;
    for (const ConfigBatch& batch : plan.batches) {
        // The pause after each element that did not close the batch.
        const size_t pauses = batch.full ? batch.commands - 1 : batch.commands;
        if (pauses != 0) SleepMs(static_cast<int64_t>(pauses) * kPauseMs);
        if (!ConfigBatchExchange(device, BatchFrame(batch.text), reply)) return false;
        for (const std::string& name : RefusedCommandNames(std::string_view(reply.data(), reply.size()))) {
            refused += name;
            refused += ',';
            allAccepted = false;
        }
        SleepMs(kPauseMs);
    }

    // The final frame: the held-back settings and the calibration, no reply read.
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(m_readDataMutex);
        written = WriteLocked(device, plan.finalFrame.data(), static_cast<uint32_t>(plan.finalFrame.size()), false);
    }
    if (!written) {
        QV_LOG("%s %d Write false", "WriteCfgToDev", __LINE__);
        return false;
    }
    QV_LOG("%s %d Write:%.*s", "WriteCfgToDev", __LINE__, Shown(plan.finalFrame), plan.finalFrame.data());

    if (allAccepted) return true;
    refused.pop_back();  // the last ','
    refused += "] instructs write to device fail";
    QV_LOG("%s %d strCmdErr=%s", "WriteCfgToDev", __LINE__, refused.c_str());
    SetLastErrorComposed(kErrWriteConfig, refused.c_str());
    return false;
}

}  // namespace qv
