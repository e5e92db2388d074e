// JSON forms of the review records: what is written, what is refused on reading.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/PairReview.h"

using namespace torvane;
using namespace torvane::test;

namespace {

PoseResult pose2D() {
    PoseResult r;
    r.kind = "2D";
    r.status = "needsReview";
    r.candidateCount = 1;
    r.joints = {{"left_knee", {120, 220}, std::nullopt, 0.8, std::nullopt}};
    return r;
}

ReviewDocument sampleDocument() {
    ReviewFrame subject("p1-subject", "p1", "subject", "Ana", "a.jpg", std::string(64, 'a'), {100, 200, 300, 400},
                        std::nullopt, pose2D());
    ReviewFrame reference("p1-reference", "p1", "reference", "Ben", "b.jpg", std::string(64, 'b'), {0, 0, 50, 60},
                          std::nullopt, std::nullopt);
    subject.setJoint("left_knee", Point2{150, 250}, JointReviewState::corrected);
    subject.setJoint("right_knee", std::nullopt, JointReviewState::occluded);
    subject.restore("right_knee", std::nullopt);
    subject.addRetry(DetectionRetry({110, 210, 100, 100}, pose2D(), std::nullopt));
    ReviewDocument d(std::string(64, 'm'), std::string(64, 'r'), {subject, reference});
    PairContext context(d, {"p1", "p1-subject", "p1-reference"});
    context.comparability = {{PairFeature::leftKnee, ViewComparability::comparable}};
    context.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::rightKnee, KneePlacement::similar}};
    context.photoCoaching = PhotoCoachingReview{CornerDirection::left, "coach", {{"Look", "Further ahead."}}};
    d.comparisonContexts.push_back(context);
    LeanAnnotation lean(d.frames[0], LeanLine{{150, 300}, {160, 400}, 2});
    d.leanAnnotations.emplace("p1-subject", lean);
    d.leanContexts.emplace("p1", LeanPairContext{});
    return d;
}

}  // namespace

TEST(ReviewRecords, DocumentRoundTripsThroughItsFileForm) {
    ReviewDocument d = sampleDocument();
    std::string text = json::pretty(d);
    EXPECT_EQ(json::decodeText<ReviewDocument>(text), d);
    auto value = json::parse(text);
    EXPECT_EQ(value["comparisonContexts"][0]["comparability"], json::parse(R"(["leftKnee","comparable"])"));
    EXPECT_EQ(value["comparisonContexts"][0]["kneePlacement"], json::parse(R"(["rightKnee","similar"])"));
    EXPECT_EQ(value["frames"][0]["history"][2]["action"], "undo");
}

TEST(ReviewRecords, OlderSchemaReadsWithEmptyCollectionsAndWritesAllKeys) {
    auto d = json::decodeText<ReviewDocument>(
        R"({"schemaVersion":1,"manifestHash":"m","reportHash":"r","revision":0,"frames":[]})");
    EXPECT_EQ(d.schemaVersion, 1);
    EXPECT_TRUE(d.comparisonContexts.empty() && d.leanAnnotations.empty() && d.leanContexts.empty());
    EXPECT_FALSE(d.downstreamEvidenceStale());
    auto written = json::parse(json::pretty(d));
    EXPECT_EQ(written.size(), 8u);
    EXPECT_EQ(written["comparisonContexts"], json::Value::array());
    EXPECT_EQ(written["leanAnnotations"], json::Value::object());
    d.revision = 1;
    EXPECT_TRUE(d.downstreamEvidenceStale());
}

TEST(ReviewRecords, MalformedRecordsFailToDecode) {
    auto document = [](const std::string& extra) {
        return R"({"schemaVersion":3,"manifestHash":"m","reportHash":"r","revision":0,"frames":[],)" + extra + "}";
    };
    auto context = [](const std::string& comparability) {
        return R"("comparisonContexts":[{"pairID":"p","subjectID":"s","referenceID":"r","evidenceHash":"h",)"
               R"("subjectConfirmed":false,"referenceConfirmed":false,"cornerDirection":"left","comparability":)" +
               comparability + "}]";
    };
    EXPECT_NO_THROW(json::decodeText<ReviewDocument>(document(context("[]"))));
    auto pairs = json::decodeText<ReviewDocument>(document(context(R"(["leftKnee","comparable","leftKnee","notComparable"])")));
    EXPECT_EQ(pairs.comparisonContexts[0].comparability.at(PairFeature::leftKnee), ViewComparability::notComparable);
    EXPECT_THROW(json::decodeText<ReviewDocument>(document(context(R"(["leftKnee","comparable","rightKnee"])"))), DecodingError);
    EXPECT_THROW(json::decodeText<ReviewDocument>(document(context(R"(["leftKnee","visible"])"))), DecodingError);
    EXPECT_THROW(json::decodeText<ReviewDocument>(document(context(R"({"leftKnee":"comparable"})"))), DecodingError);
    EXPECT_THROW(json::decodeText<ReviewDocument>(R"({"schemaVersion":3,"manifestHash":"m","reportHash":"r","frames":[]})"),
                 DecodingError);
    EXPECT_THROW(json::decodeText<ReviewDocument>(R"({"schemaVersion":3,"manifestHash":"m","reportHash":"r","revision":0})"),
                 DecodingError);
    EXPECT_THROW(json::decodeText<JointEdit>(R"({"state":"hidden"})"), DecodingError);
    EXPECT_THROW(json::decodeText<LeanAnnotation>(
                     R"({"frameID":"f","sourceHash":"h","panel":{"x":0,"y":0,"width":1,"height":1},"basis":"imageVertical",)"
                     R"("state":"draft","referenceReviewed":false,"featureID":"","provenance":"p"})"),
                 DecodingError);  // cue is required despite its default
}
