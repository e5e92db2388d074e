// Wheel-line angles with their uncertainty bounds, the approval digest and the comparison
// outcomes of subject against reference.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/LeanAnalysis.h"

using namespace torvane;
using namespace torvane::test;

namespace {

// A line through (cx, cy) of the given length at `degrees` from the image vertical.
LeanLine lineAt(double degrees, double cx = 500, double cy = 400, double length = 200, double uncertainty = 2) {
    const double r = degrees * std::numbers::pi / 180, dx = std::sin(r) * length / 2, dy = std::cos(r) * length / 2;
    return {{cx - dx, cy + dy}, {cx + dx, cy - dy}, uncertainty};
}

LeanAnnotation reviewed(const ReviewFrame& f, LeanLine wheel) {
    LeanAnnotation a(f, wheel);
    a.state = LeanState::reviewed;
    return a;
}

// Pair A001 with reviewed image-vertical annotations at the given wheel angles, all four
// checks answered and the evidence approved.
ReviewDocument approved(double subjectDegrees, double referenceDegrees, double uncertainty = 2) {
    ReviewDocument d = document();
    d.leanAnnotations.emplace("A001-subject", reviewed(d.frames[0], lineAt(subjectDegrees, 500, 400, 200, uncertainty)));
    d.leanAnnotations.emplace("A001-reference", reviewed(d.frames[1], lineAt(referenceDegrees, 500, 400, 200, uncertainty)));
    LeanPairContext c;
    c.commonCue = c.comparableView = c.comparableHeading = c.comparableReference = c.comparableCameraRoll = true;
    c.approvalDigest = LeanAnalysis::evidenceDigest(d, pairA);
    d.leanContexts.emplace("A001", c);
    return d;
}

void approve(ReviewDocument& d) { d.leanContexts["A001"].approvalDigest = LeanAnalysis::evidenceDigest(d, pairA); }

}  // namespace

TEST(LeanAnalysis, DirectionsWrapIntoHalfOpenRangeFromTheImageVertical) {
    for (const auto& [degrees, wrapped] : std::vector<std::pair<double, double>>{
             {90, -90}, {-90, -90}, {180, 0}, {-100, 80}, {270, -90}, {89.5, 89.5}, {-270, -90}, {0, 0}})
        EXPECT_EQ(LeanAnalysis::wrap(degrees), wrapped) << degrees;
    // Whatever the endpoint order.
    for (const auto& [line, degrees] : std::vector<std::pair<LeanLine, double>>{
             {{{100, 200}, {100, 100}, 1}, 0}, {{{100, 200}, {200, 100}, 1}, 45}, {{{100, 100}, {200, 200}, 1}, -45},
             {{{200, 100}, {100, 200}, 1}, 45}, {{{100, 100}, {200, 100}, 1}, -90}, {{{200, 100}, {100, 100}, 1}, -90}})
        EXPECT_NEAR(LeanAnalysis::orientation(line), degrees, 1e-12) << degrees;
}

TEST(LeanAnalysis, MagnitudeAgainstVerticalOrLevelLineWithClampedBounds) {
    const LeanLine wheel{{100, 200}, {200, 100}, 1};
    auto m = LeanAnalysis::magnitude(wheel, std::nullopt, panel);
    ASSERT_TRUE(m);
    EXPECT_DOUBLE_EQ(m->angle, 45);
    auto level = LeanAnalysis::magnitude(wheel, LeanLine{{0, 300}, {400, 300}, 1}, panel);
    ASSERT_TRUE(level);
    EXPECT_DOUBLE_EQ(level->angle, 45);
    EXPECT_GT(level->upper - level->lower, m->upper - m->lower);  // two lines' sensitivity

    const LeanLine hundred{{500, 500}, {500, 400}, 2};
    EXPECT_NEAR(LeanAnalysis::sensitivity(hundred), 2.2924, 1e-4);
    auto upright = LeanAnalysis::magnitude(hundred, std::nullopt, panel);
    EXPECT_EQ(upright->angle, 0);
    EXPECT_EQ(upright->lower, 0);
    auto flat = LeanAnalysis::magnitude({{400, 500}, {500, 500}, 2}, std::nullopt, panel);
    EXPECT_EQ(flat->angle, 90);
    EXPECT_EQ(flat->upper, 90);

    // Invalid lines measure nothing: zero length, outside the panel, oversized uncertainty.
    EXPECT_FALSE(LeanAnalysis::magnitude({{10, 10}, {10, 10}, 1}, std::nullopt, panel));
    EXPECT_FALSE(LeanAnalysis::magnitude({{10, 10}, {10, 900}, 1}, std::nullopt, panel));
    EXPECT_FALSE(LeanAnalysis::magnitude(wheel, LeanLine{{0, 300}, {2, 300}, 1}, panel));
}

TEST(LeanAnalysis, RelativeAngleIsSignedAndRefusedNearNinety) {
    auto r = LeanAnalysis::relative(lineAt(20), lineAt(-10, 300), panel);
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->angle, 30, 1e-9);
    // 88 degrees apart with about 1.15 degrees of sensitivity per line: too close to the wrap.
    EXPECT_FALSE(LeanAnalysis::relative(lineAt(44), lineAt(-44, 300), panel));
    EXPECT_TRUE(LeanAnalysis::relative(lineAt(43), lineAt(-43, 300), panel));
}

TEST(LeanAnalysis, MeasureFollowsTheBasis) {
    const auto f = frame("A001", "subject");
    LeanAnnotation a(f, lineAt(30));
    a.reference = lineAt(-80, 300);
    EXPECT_NEAR(LeanAnalysis::measure(a)->angle, 30, 1e-9);  // stored reference ignored
    a.basis = LeanBasis::assumedLevel;
    EXPECT_NEAR(LeanAnalysis::measure(a)->angle, 20, 1e-9);
    a.basis = LeanBasis::sharedFeature;
    EXPECT_NEAR(LeanAnalysis::measure(a)->angle, -70, 1e-9);
    a.reference.reset();
    EXPECT_FALSE(LeanAnalysis::measure(a));
    a.basis = LeanBasis::imageVertical;
    a.state = LeanState::unavailable;
    EXPECT_FALSE(LeanAnalysis::measure(a));
    EXPECT_FALSE(LeanAnalysis::measure(LeanAnnotation(f)));
}

TEST(LeanAnalysis, DigestCoversAnnotationsAndSourceEvidence) {
    ReviewDocument d = approved(30, 20);
    const std::string digest = LeanAnalysis::evidenceDigest(d, pairA);
    EXPECT_EQ(digest.size(), 64u);
    // Annotations (subject first) before the source hash, each annotation's keys sorted.
    const std::string bytes = "{\"annotations\":[" + json::canonical(d.leanAnnotations["A001-subject"]) + "," +
                              json::canonical(d.leanAnnotations["A001-reference"]) + "],\"source\":\"" +
                              PairReview::evidenceHash(d, pairA) + "\"}";
    EXPECT_EQ(digest, contentHash(bytes));

    d.leanAnnotations.erase("A001-reference");
    expectError([&] { LeanAnalysis::evidenceDigest(d, pairA); }, "Missing lean annotation.");
}

// Image-vertical wheels at 30 against 20 degrees with about 2 degrees of sensitivity (u), and
// wheels against a shared vertical post, where the relative angle wraps.
TEST(LeanAnalysis, ComparisonsWithTheirBoundsAndSummaries) {
    const double u = 100 * std::sin(2 * std::numbers::pi / 180);
    auto shared = [](double subjectDegrees, double referenceDegrees) {
        ReviewDocument d = approved(0, 0);
        for (auto& [id, a] : d.leanAnnotations) {
            a.basis = LeanBasis::sharedFeature;
            a.featureID = "kerb";
            a.reference = LeanLine{{100, 700}, {100, 500}, 1};  // vertical post
            a.referenceReviewed = true;
            a.wheel = lineAt(id == "A001-subject" ? subjectDegrees : referenceDegrees, 500, 400, 200, 1);
        }
        approve(d);
        return d;
    };
    ReviewDocument otherFeature = shared(10, -10);
    otherFeature.leanAnnotations["A001-reference"].featureID = "post";
    approve(otherFeature);
    const struct {
        const char* name;
        ReviewDocument document;
        std::vector<double> measured;  // angle, lower, upper, as far as given; empty: none
        std::string summary;
    } cases[] = {
        {"larger", approved(30, 20, u), {10, 6, 14}, "Rider shows a larger apparent 2D wheel angle than Reference rider."},
        {"smaller", approved(10, 20, u), {-10, -14, -6},
         "Rider shows a smaller apparent 2D wheel angle than Reference rider."},
        {"bounds overlapping zero", approved(21, 20, u), {1, -3, 5}, LeanAnalysis::overlapsZeroText},
        // 80 against -80: wrap(160) = -20, toward the left.
        {"shared feature, wrapped", shared(80, -80), {-20},
         "Rider rotates toward image left relative to Reference rider and the matched feature."},
        {"toward the right", shared(10, -10), {20},
         "Rider rotates toward image right relative to Reference rider and the matched feature."},
        // 89 degrees apart: the bounds reach past 90.
        {"ambiguous", shared(45, -44), {}, LeanAnalysis::ambiguousText},
        {"other features", otherFeature, {}, LeanAnalysis::incompatibleText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LeanComparison result = LeanAnalysis::compare(c.document, pairA);
        EXPECT_EQ(result.summary, c.summary);
        ASSERT_EQ(result.measurement.has_value(), !c.measured.empty());
        if (!result.measurement) continue;
        const double found[] = {result.measurement->angle, result.measurement->lower, result.measurement->upper};
        for (std::size_t i = 0; i < c.measured.size(); ++i) EXPECT_NEAR(found[i], c.measured[i], 1e-9) << i;
    }
}

// A comparison needs both annotations reviewed and measurable, matching cues and bases, all
// checks answered (camera roll for the image vertical only) and an approval of this evidence.
TEST(LeanAnalysis, ComparesOnlyReviewedApprovedAndCompatibleEvidence) {
    using Change = std::function<void(ReviewDocument&)>;
    const std::string review = LeanAnalysis::reviewEvidenceText, unreviewed = LeanAnalysis::unreviewedText;
    const std::string incompatible = LeanAnalysis::incompatibleText;
    const struct {
        const char* name;
        Change change;
        std::string summary;  // empty: measured
    } cases[] = {
        {"a reference still a draft", [](auto& d) { d.leanAnnotations["A001-reference"].state = LeanState::draft; }, review},
        {"an annotation missing", [](auto& d) { d.leanAnnotations.erase("A001-subject"); }, review},
        {"a level basis without its line",
         [](auto& d) { d.leanAnnotations["A001-subject"].basis = LeanBasis::assumedLevel; }, review},
        {"other cues", [](auto& d) { d.leanAnnotations["A001-reference"].cue = "Rear rim"; }, incompatible},
        {"edited after the approval", [](auto& d) { d.leanAnnotations["A001-subject"].provenance = "Edited later"; },
         unreviewed},
        {"no approval", [](auto& d) { d.leanContexts["A001"].approvalDigest.reset(); }, unreviewed},
        {"a check unanswered", [](auto& d) { d.leanContexts["A001"].comparableHeading = false; }, unreviewed},
        {"camera roll unanswered", [](auto& d) { d.leanContexts["A001"].comparableCameraRoll = false; }, unreviewed},
        {"camera roll unanswered for level lines",
         [](auto& d) {
             d.leanContexts["A001"].comparableCameraRoll = false;
             for (auto& [id, a] : d.leanAnnotations) {
                 a.basis = LeanBasis::assumedLevel;
                 a.reference = LeanLine{{100, 700}, {400, 700}, 2};
                 a.referenceReviewed = true;
             }
             approve(d);
         },
         ""},
        // Invalid lean data elsewhere only matters once this pair's evidence is complete.
        {"an incomplete pair beside invalid data",
         [](auto& d) {
             d.leanAnnotations.erase("A001-subject");
             d.leanContexts.emplace("B001", LeanPairContext{});
         },
         review},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReviewDocument d = approved(30, 20);
        c.change(d);
        const LeanComparison result = LeanAnalysis::compare(d, pairA);
        if (c.summary.empty()) {
            EXPECT_TRUE(result.measurement);
        } else {
            EXPECT_EQ(result, (LeanComparison{std::nullopt, c.summary}));
        }
    }
    EXPECT_EQ(LeanAnalysis::compare(approved(30, 20), pairB).summary, review);
    ReviewDocument invalid = approved(30, 20);
    invalid.leanContexts.emplace("B001", LeanPairContext{});
    expectError([&] { LeanAnalysis::compare(invalid, pairA); }, "Lean comparison requires an existing pair.");
}
