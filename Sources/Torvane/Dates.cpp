#include "Torvane/Dates.h"

#include <ctime>

namespace torvane {

double referenceSeconds(std::chrono::system_clock::time_point time) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    return static_cast<double>(micros) / 1e6 - referenceDateOffset;
}

double referenceSecondsNow(const platform::Env& env) { return referenceSeconds(env.now()); }

std::string iso8601(std::chrono::system_clock::time_point time) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

}  // namespace torvane
