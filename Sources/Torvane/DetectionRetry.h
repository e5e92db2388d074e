// Running both detectors again on a tighter crop of the exact photo a review was made from.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/PoseResult.h"
#include "Torvane/VisionPoseEstimator.h"
#include "Torvane/platform/Env.h"

namespace torvane {

struct DetectionRetry {
    double timestamp = 0;  // seconds since 2001-01-01T00:00:00Z
    PixelRect crop;
    std::optional<PoseResult> twoD;
    std::optional<PoseResult> threeD;

    DetectionRetry() = default;
    // Timestamped now by `env`'s clock.
    DetectionRetry(PixelRect crop, std::optional<PoseResult> twoD, std::optional<PoseResult> threeD,
                   const platform::Env& env = platform::Env::system());

    bool operator==(const DetectionRetry&) const = default;
    template <class V> void fields(V& v) { v("crop", crop); v("threeD", threeD); v("timestamp", timestamp); v("twoD", twoD); }
};

struct RetryRequest {
    std::filesystem::path source;
    std::string sourceHash;
    PixelRect crop;

    // Reloads the photo, refuses it if its bytes changed, cuts the crop and runs the 2-D
    // and then the 3-D detector on it.
    DetectionRetry run(const PoseEstimates& estimates = {}, const platform::Env& env = platform::Env::system()) const;

    bool operator==(const RetryRequest&) const = default;
};

template <>
struct json::Coder<RetryRequest> {
    static Value encode(const RetryRequest& r) {
        return Value{{"crop", json::encode(r.crop)}, {"source", r.source.string()}, {"sourceHash", r.sourceHash}};
    }
    static RetryRequest decode(const Value& v, const std::string& path) {
        if (!v.is_object()) detail::fail(path, "expected an object, found " + detail::describeType(v));
        auto get = [&](const char* key) -> const Value& {
            auto it = v.find(key);
            if (it == v.end() || it->is_null()) detail::fail(path, std::string("missing required key \"") + key + "\"");
            return *it;
        };
        return {json::decode<std::string>(get("source"), detail::child(path, "source")),
                json::decode<std::string>(get("sourceHash"), detail::child(path, "sourceHash")),
                json::decode<PixelRect>(get("crop"), detail::child(path, "crop"))};
    }
};

}  // namespace torvane
