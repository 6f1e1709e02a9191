// File names of firmware packages: the update takes a narrow name in the
// process's code page (UTF-8 on Linux) and the package loader a wide one
// (UTF-16), as the Windows build will. A name that is not valid in its
// encoding is refused, never cut short or patched.
#pragma once

#include <string>

namespace qv::firmware {

// Strict UTF-8 to UTF-16: false for overlong forms, surrogates, code points
// above U+10FFFF and cut sequences.
bool Utf8ToUtf16(const std::string& in, std::u16string& out);

// Strict UTF-16 to UTF-8: false for a lone surrogate.
bool Utf16ToUtf8(const std::u16string& in, std::string& out);

}  // namespace qv::firmware
