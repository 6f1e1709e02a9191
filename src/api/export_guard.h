// No exception leaves an export: each one ends in QV_EXPORT_CATCH, which logs
// what was thrown, reports it through the last-error text ("Memory allocation
// failed": the library throws only when it runs out of memory or threads) and
// returns the export's failure value.
#pragma once

namespace qv {

void NoteExportException(const char* exportName) noexcept;

}  // namespace qv

#define QV_EXPORT_CATCH(name, ...)          \
    catch (...) {                           \
        ::qv::NoteExportException(name);    \
        return __VA_ARGS__;                 \
    }
