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

using ConfigOperation = bool (CQVScan::*)(T_DevicesInfo*, const char*);

// The two exports: a refused handle, a null or empty file name give "Invalid
// input parameters"; otherwise the engine's operation, and an empty error
// text when it succeeded.
bool RunConfigExport(const char* name, void* hDevice, const char* fileName, ConfigOperation operation) {
    QV_LOG("%s %d begin\n", name, __LINE__);
    HandleUse use(hDevice);
    if (!use || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const bool ok = (use.engine()->*operation)(use.record(), fileName);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end isok=%d\n", name, __LINE__, ok ? 1 : 0);
    return ok;
}

}  // namespace

extern "C" {

QV_API bool qv_ReadDevCfgToXml(void* hDevice, const char* fileName) try {
    return RunConfigExport("qv_ReadDevCfgToXml", hDevice, fileName, &CQVScan::ReadDevConfiguration);
} QV_EXPORT_CATCH("qv_ReadDevCfgToXml", false)

QV_API bool qv_WriteCfgToDev(void* hDevice, const char* fileName) try {
    return RunConfigExport("qv_WriteCfgToDev", hDevice, fileName, &CQVScan::WriteCfgToDev);
} QV_EXPORT_CATCH("qv_WriteCfgToDev", false)

}  // extern "C"
