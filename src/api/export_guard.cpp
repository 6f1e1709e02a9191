#include "api/export_guard.h"

#include <exception>

#include "core/errors.h"
#include "core/log.h"

namespace qv {

void NoteExportException(const char* exportName) noexcept {
    // The caller's answer first: what follows allocates, and memory may be gone.
    SetLastErrorCode(kErrNoMemory);
    try {
        throw;
    } catch (const std::exception& e) {
        QV_LOG("%s exception: %s", exportName, e.what());
    } catch (...) {
        QV_LOG("%s exception", exportName);
    }
}

}  // namespace qv
