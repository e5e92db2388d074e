// Blank-text tests shared by every record that refuses empty user text.
#pragma once

#include <string>
#include <string_view>

namespace torvane {

// `text` without leading and trailing Unicode white space and line breaks (UTF-8).
std::string_view trimmed(std::string_view text);

// Whether `text` is empty after trimming Unicode white space and line breaks.
inline bool isBlank(std::string_view text) { return trimmed(text).empty(); }

}  // namespace torvane
