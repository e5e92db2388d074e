// Joint-angle comparison of the subject and reference rider of one reviewed pair: the
// included elbow and knee angles in each photo's image plane, from reviewed joints only.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Torvane/FeedbackRules.h"
#include "Torvane/Geometry.h"
#include "Torvane/PairReview.h"
#include "Torvane/ProvisionalCoaching.h"

namespace torvane {

// The result of one pair analysis; held in memory only.
struct PairReport {
    std::string evidenceHash;
    ReviewPair pair;
    std::int64_t revision = 0;
    PairContext context;
    std::string analyzerVersion;
    std::string catalogVersion;
    std::vector<PairObservation> observations;  // leftElbow, rightElbow, leftKnee, rightKnee
    std::vector<FocusPoint> focus;              // at most three
    std::int64_t activeRuleCount = 0;
    std::set<PairFeature> unobservableKnees;    // knees marked obscured in either frame

    static constexpr const char* limitations =
        "Independent photo views: perspective, bike and rider proportions can affect 2D angles. No hidden depth, "
        "foot pressure, peg or seat contact, grip force, or causal riding fault is established. Coach review and "
        "utility validation remain pending.";

    // Provisional coaching (ProvisionalCoaching.cpp).
    // The reviewer's corner direction, else that of the imported photo coaching, else unknown.
    CornerDirection effectiveCornerDirection() const;
    // Whether imported photo coaching exists for the effective corner direction.
    bool hasPhotoCoaching() const;
    // The imported photo-coaching points, or at most three provisional bullets.
    std::vector<CoachingBullet> coaching() const;

    bool operator==(const PairReport&) const = default;
};

struct PairAnalysis {
    static constexpr const char* version = "1";
    static constexpr const char* noPairMessage = "No complete pair to analyze.";
    static constexpr const char* missingJointsText =
        "Required visible joints are missing, excluded, or geometrically invalid.";
    static constexpr const char* reviewComparabilityText = "Review whether these feature views are comparable.";

    // Compares the pair's subject and reference frames feature by feature and runs the
    // rule catalogue. Refuses documents that fail pair review and pairs that are not one
    // of the document's complete pairs.
    static PairReport analyze(const ReviewDocument& document, const ReviewPair& pair,
                              const RuleCatalog& catalog = RuleCatalog::production());

    // The feature's angle in one frame, or why there is none. Never fails.
    static PairMeasurement measurement(const ReviewFrame& frame, PairFeature feature);

    // The angle at `vertex` between the rays to `a` and `c`, in degrees from 0 to 180;
    // absent for non-finite points or a ray shorter than 1e-9 pixels.
    static std::optional<double> includedAngle(const Point2& a, const Point2& vertex, const Point2& c);
};

}  // namespace torvane
