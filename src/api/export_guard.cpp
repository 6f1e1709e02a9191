#include "api/export_guard.h"

#include <exception>

#include "core/errors.h"
#include "core/log.h"

namespace qv {

void NoteExportException(const char* exportName) noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            QV_LOG("%s exception: %s", exportName, e.what());
        } catch (...) {
            QV_LOG("%s exception", exportName);
        }
        SetLastErrorCode(kErrNoMemory);
    } catch (...) {
        // Logging itself failed: nothing more can be reported.
    }
}

}  // namespace qv
