// Lossy UTF-8 decoding with the result of Python's bytes.decode("utf-8", "replace").
#pragma once

#include <string>
#include <string_view>

namespace qn {

/// `bytes` decoded as UTF-8, each maximal invalid subpart (the longest prefix
/// of a well-formed sequence, or else a single byte) replaced by one U+FFFD.
/// Valid input is returned as is, without a copy; otherwise the decoded text is
/// built in `scratch` and the result views it until its next use.
std::string_view decode_utf8_lossy(std::string_view bytes, std::string& scratch);

}  // namespace qn
