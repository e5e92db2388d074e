// The library's two time forms: stored timestamps are seconds since
// 2001-01-01T00:00:00Z as a double; report times are ISO 8601 UTC text.
#pragma once

#include <chrono>
#include <string>

#include "Torvane/platform/Env.h"

namespace torvane {

// Seconds between the Unix epoch and 2001-01-01T00:00:00Z.
inline constexpr double referenceDateOffset = 978307200.0;

double referenceSeconds(std::chrono::system_clock::time_point time);
double referenceSecondsNow(const platform::Env& env = platform::Env::system());

// "2024-05-01T12:34:56Z": UTC, whole seconds (truncated), "Z" suffix.
std::string iso8601(std::chrono::system_clock::time_point time);

}  // namespace torvane
