// Pair resolution, the evidence hash, comparison contexts and the lean checks of a document.
#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewStore.h"

using namespace torvane;
using namespace torvane::test;

namespace {

ReviewFrame makeFrame(const std::string& pair, const std::string& role, PixelRect panel = {0, 0, 100, 100}) {
    return ReviewFrame(pair + "-" + role, pair, role, "Rider " + pair, pair + ".jpg", std::string(64, 'a'), panel,
                       std::nullopt, std::nullopt);
}

ReviewDocument twoPairs() {
    return ReviewDocument("m", "r", {makeFrame("b", "subject"), makeFrame("a", "reference"), makeFrame("a", "subject")});
}

const std::string differentEvidence = "Comparison approval belongs to different source evidence.";
const std::string records = "Invalid comparison context records.";

}  // namespace

TEST(PairReview, ResolvesPairsInIdOrderAndRefusesBadRoles) {
    auto pairs = PairReview::resolve(twoPairs().frames);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0], (ReviewPair{"a", "a-subject", "a-reference"}));
    EXPECT_EQ(pairs[1], (ReviewPair{"b", "b-subject", std::nullopt}));
    EXPECT_TRUE(PairReview::resolve({}).empty());

    auto two = makeFrame("a", "subject");
    two.id = "a-subject-2";
    const std::pair<std::vector<ReviewFrame>, std::string> refused[] = {
        {{makeFrame("a", "subject"), two}, "Invalid pair roles for a."},
        {{makeFrame("a", "Subject")}, "Invalid pair roles for a."},
        {{makeFrame("a", "reference")}, "Invalid pair roles for a."},
        {{makeFrame("a", "subject"), makeFrame("a", "subject")}, "Duplicate frame identity."},
    };
    for (const auto& [frames, message] : refused) EXPECT_EQ(messageOf([&] { PairReview::resolve(frames); }), message);
}

// Expected hashes computed by an independent script that follows the canonical rules.
TEST(PairReview, EvidenceHashMatchesIndependentVectors) {
    ReviewFrame subject("A001-subject", "A001", "subject", "Zo\u00eb \"Fast\"", "photos/a b.jpg", std::string(64, 'a'),
                        {0, 0, 1920, 1080}, std::nullopt, std::nullopt);
    ReviewFrame reference("A001-reference", "A001", "reference", "Ben/2", "ref.jpg", std::string(64, 'b'),
                          {10.5, 0.25, 300.125, 480}, std::nullopt, std::nullopt);
    ReviewDocument d(std::string(64, 'm'), std::string(64, 'r'), {reference, subject});
    ReviewPair pair{"A001", "A001-subject", "A001-reference"};
    EXPECT_EQ(PairReview::evidenceHash(d, pair), "c940da6152957ecbdf3847d702b86dd2607a5172a5b84b34a410b99438fb3fc6");
    std::swap(d.frames[0], d.frames[1]);
    EXPECT_EQ(PairReview::evidenceHash(d, pair), "c940da6152957ecbdf3847d702b86dd2607a5172a5b84b34a410b99438fb3fc6")
        << "document order does not matter";

    ReviewFrame single("x-subject", "x", "subject", "Ana\tB", "\u00fc/\u00e9.png", std::string(64, 'c'),
                       {0.1, 2.5, 100, 33.333333333333336}, std::nullopt, std::nullopt);
    ReviewDocument e("0123", "4567", {single});
    EXPECT_EQ(PairReview::evidenceHash(e, {"x", "x-subject", std::nullopt}),
              "3d1f0e14ec8c684431aff8ba2375ccc6a8d22d243359de9fe78e126fbc44613c");
    EXPECT_EQ(messageOf([&] { PairReview::evidenceHash(e, {"x", "x-subject", "x-reference"}); }), "Missing pair frame.");
}

TEST(PairReview, ContextsStayBoundToTheirEvidence) {
    ReviewDocument d = twoPairs();
    auto pairs = PairReview::resolve(d.frames);
    EXPECT_EQ(messageOf([&] { PairContext(d, pairs[1]); }), "This photo has no reference.");
    PairContext context(d, pairs[0]);
    EXPECT_EQ(context.evidenceHash, PairReview::evidenceHash(d, pairs[0]));
    d.comparisonContexts.push_back(context);
    EXPECT_NO_THROW(PairReview::validate(d));

    // Joint work and retries never invalidate a context.
    d.frames[2].setJoint("left_knee", Point2{5, 5}, JointReviewState::confirmed);
    d.frames[2].addRetry(DetectionRetry({0, 0, 10, 10}, std::nullopt, std::nullopt));
    EXPECT_NO_THROW(PairReview::validate(d));

    auto changed = [&](auto change) {
        ReviewDocument copy = d;
        change(copy);
        return messageOf([&] { PairReview::validate(copy); });
    };
    // Which fields the evidence hash covers is EvidenceHashMatchesIndependentVectors'.
    EXPECT_EQ(changed([](ReviewDocument& c) { c.frames[2].sourceHash = "x"; }), differentEvidence);
    EXPECT_EQ(changed([](ReviewDocument& c) { c.comparisonContexts[0].pairID = "b"; }), differentEvidence);
    EXPECT_EQ(changed([](ReviewDocument& c) { c.comparisonContexts.push_back(c.comparisonContexts[0]); }), records);
    EXPECT_EQ(changed([](ReviewDocument& c) { c.schemaVersion = 1; }), records);
    EXPECT_EQ(changed([](ReviewDocument& c) { c.schemaVersion = 2; }), "no error");
    EXPECT_EQ(changed([](ReviewDocument& c) {
                  c.comparisonContexts[0].photoCoaching = PhotoCoachingReview{CornerDirection::unknown, "c", {{"t", "d"}}};
              }),
              PhotoCoachingReview::invalidMessage);
}

TEST(PairReview, PhotoCoachingNeedsDirectionProvenanceAndDistinctPoints) {
    PhotoCoachingReview ok{CornerDirection::right, "Coach K", {{"Head", "Look through."}, {"Head ", "Trailing space."}}};
    EXPECT_NO_THROW(ok.validate()) << "titles are compared untrimmed";
    auto fails = [&](auto change) {
        PhotoCoachingReview r = ok;
        change(r);
        return messageOf([&] { r.validate(); }) == PhotoCoachingReview::invalidMessage;
    };
    EXPECT_TRUE(fails([](auto& r) { r.cornerDirection = CornerDirection::unknown; }));
    EXPECT_TRUE(fails([](auto& r) { r.provenance = " \n\u3000"; }));
    EXPECT_TRUE(fails([](auto& r) { r.points.clear(); }));
    EXPECT_TRUE(fails([](auto& r) { r.points.assign(4, {"a", "b"}); for (int i = 0; i < 4; ++i) r.points[i].title += char('0' + i); }));
    EXPECT_TRUE(fails([](auto& r) { r.points[1].title = "Head"; }));
    EXPECT_TRUE(fails([](auto& r) { r.points[0].detail = "\t"; }));
}

TEST(PairReview, EditTargetsApplyOnlyInTheirSessionAndCanvas) {
    ReviewDocument d = twoPairs();
    ReviewEditTarget target{"S", "C", "a-subject", "left_knee"};
    EXPECT_EQ(target.index(d, "S", "C", {"a-subject", "a-reference"}), 2u);
    EXPECT_EQ(target.index(d, "S", "C", {"a-reference"}), std::nullopt);
    EXPECT_EQ(target.index(d, "S2", "C", {"a-subject"}), std::nullopt);
    EXPECT_EQ(target.index(d, "S", "C2", {"a-subject"}), std::nullopt);
    EXPECT_EQ((ReviewEditTarget{"S", "C", "a-subject", "knee"}.index(d, "S", "C", {"a-subject"})), std::nullopt);
}

TEST(LeanReview, LinesMustLieInsideThePanelAndBeLongEnough) {
    PixelRect panel{10, 20, 100, 50};
    EXPECT_TRUE((LeanLine{{10, 20}, {50, 60}, 1}.valid(panel))) << "left and top edges are inside";
    EXPECT_FALSE((LeanLine{{10, 20}, {110, 60}, 1}.valid(panel)));
    for (double u : {0.0, -1.0, std::nan(""), HUGE_VAL}) EXPECT_FALSE((LeanLine{{10, 20}, {50, 60}, u}.valid(panel)));
    EXPECT_FALSE((LeanLine{{10, 20}, {10, 30}, 5}.valid(panel))) << "length exactly twice the uncertainty";
    EXPECT_TRUE((LeanLine{{10, 20}, {10, 30.001}, 5}.valid(panel)));
}

TEST(LeanReview, AnnotationsAreCheckedAgainstTheirFrame) {
    ReviewFrame frame = makeFrame("a", "subject");
    LeanLine wheel{{10, 10}, {20, 60}, 2};
    LeanAnnotation a(frame, wheel);
    EXPECT_NO_THROW(a.validate(frame));
    auto fails = [&](auto change) {
        LeanAnnotation b = a;
        change(b);
        return messageOf([&] { b.validate(frame); }) == LeanAnnotation::invalidMessage;
    };
    EXPECT_TRUE(fails([](auto& b) { b.frameID = "x"; }));
    EXPECT_TRUE(fails([](auto& b) { b.sourceHash = "x"; }));
    EXPECT_TRUE(fails([](auto& b) { b.panel.height = 1; }));
    EXPECT_TRUE(fails([](auto& b) { b.cue = " \n "; }));
    EXPECT_TRUE(fails([](auto& b) { b.provenance = ""; }));
    EXPECT_TRUE(fails([](auto& b) { b.originalProposal = LeanLine{{10, 10}, {10, 11}, 2}; }));
    EXPECT_FALSE(fails([](auto& b) { b.state = LeanState::reviewed; }));
    EXPECT_TRUE(fails([](auto& b) { b.state = LeanState::reviewed; b.wheel.reset(); }));
    EXPECT_TRUE(fails([&](auto& b) { b.state = LeanState::reviewed; b.basis = LeanBasis::assumedLevel; b.reference = wheel; }));
    EXPECT_FALSE(fails([&](auto& b) { b.basis = LeanBasis::assumedLevel; b.reference = wheel; }));
    EXPECT_TRUE(fails([&](auto& b) {
        b.state = LeanState::reviewed; b.basis = LeanBasis::sharedFeature; b.reference = wheel; b.referenceReviewed = true;
        b.featureID = "  ";
    }));
    EXPECT_FALSE(fails([&](auto& b) {
        b.state = LeanState::reviewed; b.basis = LeanBasis::sharedFeature; b.reference = wheel; b.referenceReviewed = true;
        b.featureID = "kerb";
    }));
}

TEST(LeanReview, DocumentsCarryLeanDataOnlyInSchemaThree) {
    ReviewDocument d = twoPairs();
    EXPECT_NO_THROW(LeanReview::validate(d));
    auto check = [&](auto change) {
        ReviewDocument copy = d;
        change(copy);
        return messageOf([&] { LeanReview::validate(copy); });
    };
    const std::string schema = LeanReview::schemaMessage;
    EXPECT_EQ(check([](auto& c) { c.schemaVersion = 2; }), "no error");
    EXPECT_EQ(check([](auto& c) { c.schemaVersion = 2; c.leanContexts["a"] = {}; }), schema);
    EXPECT_EQ(check([](auto& c) { c.schemaVersion = 4; }), schema);
    EXPECT_EQ(check([](auto& c) { c.leanContexts["a"] = {}; }), "no error");
    EXPECT_EQ(check([](auto& c) { c.leanContexts["b"] = {}; }), LeanReview::pairMessage);
    EXPECT_EQ(check([](auto& c) { c.leanContexts["zz"] = {}; }), LeanReview::pairMessage);
    EXPECT_EQ(check([](auto& c) { c.leanAnnotations["a-subject"] = LeanAnnotation(c.frames[1]); }),
              LeanAnnotation::invalidMessage) << "the key and the annotation's frame must agree";
    EXPECT_EQ(check([](auto& c) {
                  c.leanAnnotations["nope"] = LeanAnnotation(c.frames[1]);
                  c.frames.push_back(makeFrame("b", "subject"));  // would fail resolution, checked later
              }),
              LeanReview::orphanMessage);
    EXPECT_EQ(check([](auto& c) { c.frames.push_back(makeFrame("c", "reference")); }), "Invalid pair roles for c.");
}
