// qv_GetLastError: the process-wide text of the last failure.
#include "core/errors.h"
#include "quorvia.h"

extern "C" QV_API const char* qv_GetLastError(void) { return qv::LastErrorText(); }
