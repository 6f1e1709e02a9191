// The scanner's settings as a configuration XML file: read to a file, written
// back from one.
#include "api/export_guard.h"
#include "api/registry.h"
#include "core/errors.h"
#include "core/log.h"
#include "engine/qvscan.h"
#include "quorvia.h"

using namespace qv;

namespace {

// A refused handle, a null or empty file name: "Invalid input parameters".
bool ConfigArgumentsValid(const HandleUse& use, const char* fileName) {
    if (use && fileName != nullptr && fileName[0] != '\0') return true;
    SetLastErrorCode(kErrInvalidParam);
    return false;
}

}  // namespace

extern "C" {

QV_API bool qv_ReadDevCfgToXml(void* hDevice, const char* fileName) try {
    QV_LOG("%s %d begin\n", "qv_ReadDevCfgToXml", __LINE__);
    HandleUse use(hDevice);
    if (!ConfigArgumentsValid(use, fileName)) return false;
    const bool ok = use.engine()->ReadDevConfiguration(use.record(), fileName);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end isok=%d\n", "qv_ReadDevCfgToXml", __LINE__, ok ? 1 : 0);
    return ok;
} QV_EXPORT_CATCH("qv_ReadDevCfgToXml", false)

QV_API bool qv_WriteCfgToDev(void* hDevice, const char* fileName) try {
    QV_LOG("%s %d begin\n", "qv_WriteCfgToDev", __LINE__);
    HandleUse use(hDevice);
    if (!ConfigArgumentsValid(use, fileName)) return false;
    const bool ok = use.engine()->WriteCfgToDev(use.record(), fileName);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end isok=%d\n", "qv_WriteCfgToDev", __LINE__, ok ? 1 : 0);
    return ok;
} QV_EXPORT_CATCH("qv_WriteCfgToDev", false)

}  // extern "C"
