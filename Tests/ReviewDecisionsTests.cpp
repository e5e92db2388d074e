// The decisions after the joints, as the review desk applies them: pair contexts made on
// the first decision and refused while stale, lean lines checked by the library, lean
// approval, and photo-coaching imports. None of them raises the revision.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/ReviewDecisions.h"

using namespace torvane;
using namespace torvane::test;

namespace {

const std::string staleMessage = "Comparison approval belongs to different source evidence.";

ReviewDocument atRevision(std::int64_t revision, std::int64_t schema = 3) {
    ReviewDocument d = document();
    d.revision = revision;
    d.schemaVersion = schema;
    return d;
}

PairContextEdit corner(CornerDirection direction) {
    PairContextEdit edit;
    edit.cornerDirection = direction;
    return edit;
}

LeanLine line(Point2 a, Point2 b, double uncertainty = 2) { return {a, b, uncertainty}; }

LeanAnnotationEdit wheel(LeanLine l, LeanState state = LeanState::draft) {
    LeanAnnotationEdit edit;
    edit.wheel = l;
    edit.state = state;
    return edit;
}

}  // namespace

// The first decision makes the context for the current evidence; later ones change only
// what they name.
TEST(ReviewDecisions, PairDecisionsMakeTheContextThenChangeOnlyWhatTheyName) {
    ReviewDocument d = ReviewDecisions::setPairContext(atRevision(4, 2), "A001", corner(CornerDirection::right));
    ASSERT_EQ(d.comparisonContexts.size(), 1u);
    EXPECT_EQ(d.comparisonContexts[0], [] {
        PairContext fresh(document(), pairA);
        fresh.cornerDirection = CornerDirection::right;
        return fresh;
    }());
    EXPECT_EQ(d.revision, 4) << "the caller raises the revision once, when saving";
    EXPECT_EQ(d.schemaVersion, 3);

    PairContextEdit views;
    views.comparability = std::map<PairFeature, ViewComparability>{{PairFeature::leftElbow, ViewComparability::comparable}};
    views.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::rightKnee, KneePlacement::closerToTank}};
    d = ReviewDecisions::setPairContext(d, "A001", views);
    PairContextEdit more;
    more.comparability = std::map<PairFeature, ViewComparability>{{PairFeature::leftKnee, ViewComparability::notComparable}};
    more.subjectConfirmed = true;
    d = ReviewDecisions::setPairContext(d, "A001", more);

    ASSERT_EQ(d.comparisonContexts.size(), 1u);
    const PairContext& c = d.comparisonContexts[0];
    EXPECT_EQ(c.cornerDirection, CornerDirection::right);
    EXPECT_TRUE(c.subjectConfirmed);
    EXPECT_EQ(c.comparability, (std::map<PairFeature, ViewComparability>{
                                   {PairFeature::leftElbow, ViewComparability::comparable},
                                   {PairFeature::leftKnee, ViewComparability::notComparable}}));
    EXPECT_EQ(c.kneePlacement->at(PairFeature::rightKnee), KneePlacement::closerToTank);
}

TEST(ReviewDecisions, RefusedPairDecisions) {
    PairContextEdit elbowPlacement;
    elbowPlacement.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::leftElbow, KneePlacement::similar}};
    const std::tuple<std::string, PairContextEdit, std::string> cases[] = {
        {"B001", corner(CornerDirection::left), "This photo has no reference."},
        {"Z001", corner(CornerDirection::left), "The document has no pair Z001."},
        {"A001", elbowPlacement, ReviewDecisions::kneeOnlyMessage},
    };
    for (const auto& [pair, edit, message] : cases)
        expectError([&] { ReviewDecisions::setPairContext(document(), pair, edit); }, message);
}

TEST(ReviewDecisions, StaleContextIsReportedRefusedAndRenewedOnlyOnRequest) {
    ReviewDocument d = document();
    PairContext old(d, pairA);
    old.cornerDirection = CornerDirection::left;
    old.subjectConfirmed = true;
    old.evidenceHash = std::string(64, '0');  // made for other photos
    d.comparisonContexts = {old};

    EXPECT_EQ(ReviewDecisions::staleness(d, old), staleMessage);
    EXPECT_EQ(ReviewDecisions::context(d, pairA), old) << "the old decisions stay visible";
    expectError([&] { ReviewDecisions::setPairContext(d, "A001", corner(CornerDirection::right)); }, staleMessage);

    ReviewDocument renewed = ReviewDecisions::renewPairContext(d, "A001");
    ASSERT_EQ(renewed.comparisonContexts.size(), 1u);
    EXPECT_EQ(renewed.comparisonContexts[0], PairContext(d, pairA));
    expectError([&] { ReviewDecisions::renewPairContext(renewed, "A001"); }, ReviewDecisions::notStaleMessage);
    // Renewing a pair that has no context yet makes one.
    EXPECT_EQ(ReviewDecisions::renewPairContext(document(), "A001").comparisonContexts.size(), 1u);
}

TEST(ReviewDecisions, LeanLinesAreCheckedByTheLibraryAndKeepTheirFirstProposal) {
    const LeanLine first = line({100, 500}, {160, 300});
    ReviewDocument d = ReviewDecisions::setLeanAnnotation(atRevision(2, 2), "A001-subject", wheel(first));
    const LeanAnnotation& a = d.leanAnnotations.at("A001-subject");
    EXPECT_EQ(a.wheel, first);
    EXPECT_EQ(a.originalProposal, first);
    EXPECT_EQ(d.schemaVersion, 3);

    const LeanLine moved = line({110, 500}, {150, 300});
    d = ReviewDecisions::setLeanAnnotation(d, "A001-subject", wheel(moved));
    EXPECT_EQ(d.leanAnnotations.at("A001-subject").wheel, moved);
    EXPECT_EQ(d.leanAnnotations.at("A001-subject").originalProposal, first);

    // Which lines and annotations are refused is LeanReview's; the decision asks it.
    expectError([&] { ReviewDecisions::setLeanAnnotation(d, "A001-subject", wheel(line({1000, 10}, {900, 300}))); },
                LeanAnnotation::invalidMessage);
    expectError([&] { ReviewDecisions::setLeanAnnotation(d, "Z001-subject", wheel(first)); },
                "The document has no frame Z001-subject.");
}

TEST(ReviewDecisions, ApprovalStoresTheDigestOfTheLeanEvidenceAsItIsNow) {
    ReviewDocument d = document();
    expectError([&] { ReviewDecisions::setLeanContext(d, "A001", LeanContextEdit{true, true, true, true, false, false, true}); },
                LeanAnalysis::missingAnnotationMessage);
    d = ReviewDecisions::setLeanAnnotation(d, "A001-subject", wheel(line({100, 500}, {200, 300}), LeanState::reviewed));
    d = ReviewDecisions::setLeanAnnotation(d, "A001-reference", wheel(line({100, 500}, {130, 300}), LeanState::reviewed));

    LeanContextEdit answers{true, true, true, true, true, false, true};
    d = ReviewDecisions::setLeanContext(d, "A001", answers);
    EXPECT_EQ(d.leanContexts.at("A001").approvalDigest, LeanAnalysis::evidenceDigest(d, pairA));

    // Withdrawing the approval clears the digest and keeps the answers.
    answers.approve = false;
    d = ReviewDecisions::setLeanContext(d, "A001", answers);
    EXPECT_FALSE(d.leanContexts.at("A001").approvalDigest);
    EXPECT_TRUE(d.leanContexts.at("A001").comparableCameraRoll);
    expectError([&] { ReviewDecisions::setLeanContext(d, "B001", answers); }, LeanReview::pairMessage);
}

// What is refused is PhotoCoachingImport's; the decision reads the text and leaves the
// revision to the save.
TEST(ReviewDecisions, PhotoCoachingImportKeepsTheRevisionAndShowsRefusalsAsTheyAre) {
    const ReviewDocument d = atRevision(5);
    PairContext coached(d, pairA);
    coached.photoCoaching = PhotoCoachingReview{CornerDirection::left, "Coach K", {{"Look", "Further through the turn."}}};
    ReviewDocument out = ReviewDecisions::importPhotoCoaching(d, json::Value::array({json::encode(coached)}).dump());
    EXPECT_EQ(out.revision, 5);
    ASSERT_EQ(out.comparisonContexts.size(), 1u);
    EXPECT_EQ(out.comparisonContexts[0], coached);

    // Text that is not a list of contexts fails with the decoder's own description.
    EXPECT_TRUE(contains(messageOf([&] { ReviewDecisions::importPhotoCoaching(d, R"({"pairID": "A001"})"); }),
                         "expected an array"));
}
