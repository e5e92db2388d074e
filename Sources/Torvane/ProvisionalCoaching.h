// Coaching bullets for the subject rider of an analysed pair (PairReport::coaching): the
// imported photo coaching when it was written for this corner, otherwise at most three
// cautious provisional bullets from the elbow angles and the reviewer's knee-placement judgement.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Torvane/PairContext.h"

namespace torvane {

struct CoachingBullet {
    static constexpr const char* defaultProvenance = "user-assumed-reference";
    static constexpr const char* defaultVersion = "velmor-reference-draft-3";
    static constexpr const char* photoVersion = "photo-review-1";

    std::optional<PairFeature> feature;  // absent for photo-coaching points
    std::string title;
    std::string detail;
    std::string provenance = defaultProvenance;
    std::string version = defaultVersion;

    // The feature's name when there is one, otherwise the title.
    std::string id() const;

    bool operator==(const CoachingBullet&) const = default;
};

bool isElbow(PairFeature feature);

// "Inside" or "Outside" relative to the corner; absent while the corner is unknown.
std::optional<std::string_view> role(PairFeature feature, CornerDirection corner);

}  // namespace torvane
