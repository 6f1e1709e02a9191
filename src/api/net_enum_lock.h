// The network enumeration lock: one network scan or configuration request at
// a time, since both listen on the same UDP port.
#pragma once

#include <mutex>

namespace qv {

std::mutex& NetEnumMutex();

}  // namespace qv
