// Operating-system service: the path of the loaded Quorvia library itself.
#pragma once

#include <string>

namespace qv::platform {

// Full path of the module that contains this code; empty when unknown.
std::string LibraryPath();

}  // namespace qv::platform
