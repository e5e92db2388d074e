// Review documents built in memory for the analysis and coaching tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>

#include "TestSupport.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewStore.h"

namespace torvane::fixtures {

inline const PixelRect panel{0, 0, 1000, 800};

inline ReviewFrame frame(const std::string& pairID, const std::string& role, char hash = 'a') {
    return ReviewFrame(pairID + "-" + role, pairID, role, role == "subject" ? "Rider" : "Reference rider",
                       pairID + "-" + role + ".jpg", std::string(64, hash), panel, std::nullopt, std::nullopt);
}

// Pair A001 with subject and reference, pair B001 with a subject only.
inline ReviewDocument document() {
    return ReviewDocument(std::string(64, 'm'), std::string(64, 'r'),
                          {frame("A001", "subject", 'a'), frame("A001", "reference", 'b'), frame("B001", "subject", 'c')});
}

inline const ReviewPair pairA{"A001", "A001-subject", "A001-reference"};
inline const ReviewPair pairB{"B001", "B001-subject", std::nullopt};

// Confirms the three joints of a feature at the given points.
inline void place(ReviewFrame& f, PairFeature feature, Point2 outer, Point2 vertex, Point2 other) {
    auto names = joints(feature);
    f.setJoint(std::string(names[0]), outer, JointReviewState::confirmed);
    f.setJoint(std::string(names[1]), vertex, JointReviewState::confirmed);
    f.setJoint(std::string(names[2]), other, JointReviewState::confirmed);
}

// Joints whose included angle at the vertex is `degrees`: the outer joint straight above
// the vertex, the other turned `degrees` away from it.
inline void placeAngle(ReviewFrame& f, PairFeature feature, double degrees) {
    const double r = degrees * 3.14159265358979323846 / 180;
    place(f, feature, {400, 200}, {400, 400}, {400 + 150 * std::sin(r), 400 - 150 * std::cos(r)});
}

// Runs `f` and expects the library's refusal with exactly this message.
inline void expectError(const std::function<void()>& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const PoseError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

using test::TempDir;
using test::writeText;

}  // namespace torvane::fixtures
