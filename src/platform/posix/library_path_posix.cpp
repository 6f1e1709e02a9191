#include "platform/library_path.h"

#include <dlfcn.h>

namespace qv::platform {

std::string LibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    return std::string(info.dli_fname);
}

}  // namespace qv::platform
