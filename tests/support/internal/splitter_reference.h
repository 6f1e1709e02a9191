// A plain forward transliteration of the splitting rules, byte position by
// byte position: the reference the library's splitter is checked against.
#pragma once

#include <cstddef>

#include "engine/stream_splitter.h"

namespace qvtest {

qv::FrameRange ReferenceSplitChunk(qv::SplitterState& st, const char* buf, size_t n);

}  // namespace qvtest
