// The decode upload: a bitmap sent to the scanner's decoder, the decoded text
// and the decoding time fetched back.
#include "api/export_guard.h"
#include "api/registry.h"
#include "core/errors.h"
#include "core/log.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

// The upload reads unframed replies, which a running listener would take: the
// listener is stopped for the exchange and started again, with its callback,
// on every way out.
class ListenerPause {
public:
    explicit ListenerPause(void* handle) : handle_(handle) {
        paused_ = StopListenerOf(handle, "qv_SendBmpDecode", &callback_);
    }
    ~ListenerPause() {
        if (!paused_ || callback_ == nullptr) return;
        try {
            // A handle closed meanwhile is refused here and stays closed.
            const int32_t rc = StartListenerOf(handle_, callback_);
            if (rc != kOk) QV_LOG("%s %d listener not restarted: %d", "qv_SendBmpDecode", __LINE__, rc);
        } catch (...) {
            QV_LOG("%s %d listener not restarted: out of memory", "qv_SendBmpDecode", __LINE__);
        }
    }
    ListenerPause(const ListenerPause&) = delete;
    ListenerPause& operator=(const ListenerPause&) = delete;

private:
    void* handle_;
    QV_LISTENER_CALLBACK callback_ = nullptr;
    bool paused_ = false;
};

}  // namespace
}  // namespace qv

using namespace qv;

extern "C" {

QV_API bool qv_SendBmpDecode(void* hDevice, int32_t mode, const char* bmpFileName, char* decodeText,
                             int32_t* decodeTextLength, uint32_t* decodeTimeMs, int32_t timeoutMs) try {
    HandleUse use(hDevice);
    if (!use || bmpFileName == nullptr || decodeText == nullptr || decodeTextLength == nullptr ||
        decodeTimeMs == nullptr || (mode != QV_DECODE_GRAY && mode != QV_DECODE_YUV420)) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    bool ok = false;
    {
        ListenerPause pause(hDevice);
        ok = use.engine()->SendBmpDecode(use.record(), mode, bmpFileName, decodeText, decodeTextLength,
                                         decodeTimeMs, timeoutMs,
                                         [hDevice](int32_t status) { SetDeviceStatus(hDevice, status); });
    }
    if (ok) SetLastErrorCode(kOk);
    return ok;
} QV_EXPORT_CATCH("qv_SendBmpDecode", false)

}  // extern "C"
