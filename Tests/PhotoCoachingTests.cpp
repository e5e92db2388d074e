// Importing photo coaching into pair contexts and loading single-photo coaching files:
// strict evidence checks, nothing imported on failure, the revision raised by one.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/PhotoCoaching.h"

using namespace torvane;
using namespace torvane::test;

namespace {

PhotoCoachingReview coaching(CornerDirection corner = CornerDirection::left) {
    return {corner, "Coach K", {{"Look", "Look further through the turn."}, {"Hips", "Shift earlier."}}};
}

PairContext importedContext(const ReviewDocument& d, const ReviewPair& pair) {
    PairContext c(d, pair);
    c.photoCoaching = coaching();
    return c;
}

// Pairs A001 and C001 with references, B001 unpaired.
ReviewDocument twoPairs() {
    ReviewDocument d = document();
    d.frames.push_back(frame("C001", "subject", 'd'));
    d.frames.push_back(frame("C001", "reference", 'e'));
    return d;
}
const ReviewPair pairC{"C001", "C001-subject", "C001-reference"};

const std::string singleMessage =
    "Single-photo coaching needs matching unpaired source evidence and one to three distinct, nonempty points.";

std::string singleRecord(const std::string& frameID, const std::string& hash, const std::string& points,
                         const std::string& panelJSON = R"({"x": 0, "y": 0, "width": 1000, "height": 800})") {
    return R"({"frameID": ")" + frameID + R"(", "sourceHash": ")" + hash + R"(", "panel": )" + panelJSON +
           R"(, "provenance": "Coach K", "points": )" + points + "}";
}
const std::string onePoint = R"([{"title": "Look", "detail": "Further ahead."}])";

}  // namespace

TEST(PhotoCoachingImport, KeepsTheReviewersDecisionsAndRaisesTheRevisionByOne) {
    ReviewDocument d = twoPairs();
    d.schemaVersion = 2;
    d.revision = 7;
    PairContext decided(d, pairC);
    decided.subjectConfirmed = true;
    decided.cornerDirection = CornerDirection::left;
    decided.comparability[PairFeature::leftKnee] = ViewComparability::comparable;
    d.comparisonContexts = {decided};

    PairContext incoming = importedContext(d, pairC);
    incoming.cornerDirection = CornerDirection::right;  // ignored: only coaching is taken
    incoming.referenceConfirmed = true;
    PairContext forA = importedContext(d, pairA);
    ReviewDocument result = PhotoCoachingImport::apply({forA, incoming}, d);

    EXPECT_EQ(result.revision, 8);
    EXPECT_EQ(result.schemaVersion, 3);
    ASSERT_EQ(result.comparisonContexts.size(), 2u);
    // A001 had no context: a fresh one carrying the coaching, then C001 re-appended.
    PairContext freshA(d, pairA);
    freshA.photoCoaching = coaching();
    EXPECT_EQ(result.comparisonContexts[0], freshA);
    PairContext expectedC = decided;
    expectedC.photoCoaching = coaching();
    EXPECT_EQ(result.comparisonContexts[1], expectedC);
    EXPECT_EQ(result.frames, d.frames);
}

TEST(PhotoCoachingImport, UnnamedPairsKeepTheirPlaceBeforeImportedOnes) {
    ReviewDocument d = twoPairs();
    d.comparisonContexts = {PairContext(d, pairA), PairContext(d, pairC)};
    ReviewDocument result = PhotoCoachingImport::apply({importedContext(d, pairA)}, d);
    ASSERT_EQ(result.comparisonContexts.size(), 2u);
    EXPECT_EQ(result.comparisonContexts[0].pairID, "C001");
    EXPECT_EQ(result.comparisonContexts[1].pairID, "A001");
}

TEST(PhotoCoachingImport, RefusesEachFaultWithItsMessage) {
    const ReviewDocument d = twoPairs();
    const std::string duplicate = "Photo coaching import has no pairs or duplicate pairs.";
    const std::string stale = "Comparison approval belongs to different source evidence.";
    ReviewDocument older = d;  // coaching made before a photo changed belongs to other evidence
    older.frames[1] = frame("A001", "reference", 'x');
    PairContext unknownPair = importedContext(d, pairA);
    unknownPair.pairID = "Z001";
    PairContext malformed = importedContext(d, pairA);
    malformed.photoCoaching->points.push_back({"Look", "Same title twice."});
    ReviewDocument inconsistent = d;  // an inconsistent document takes no import at all
    inconsistent.comparisonContexts = {PairContext(older, pairA)};
    const std::tuple<std::vector<PairContext>, ReviewDocument, std::string> cases[] = {
        {{}, d, duplicate},
        {{importedContext(d, pairA), importedContext(d, pairA)}, d, duplicate},
        {{importedContext(older, pairA)}, d, stale},
        {{unknownPair}, d, stale},
        {{malformed}, d, PhotoCoachingReview::invalidMessage},
        {{importedContext(d, pairA), PairContext(d, pairC)}, d, "Missing photo coaching."},
        {{importedContext(d, pairC)}, inconsistent, stale},
    };
    for (const auto& [contexts, document, message] : cases)
        expectError([&] { PhotoCoachingImport::apply(contexts, document); }, message);
}

// Loading what was written is SingleCoachingStoreTest's; here every record it refuses.
TEST(SinglePhotoCoaching, RefusesEveryMismatchWithOneMessage) {
    TempDir tmp;
    const auto file = tmp / "single.json";
    const std::string c = std::string(64, 'c');
    const std::string bad[] = {
        singleRecord("A001-subject", std::string(64, 'a'), onePoint),    // subject of a pair with reference
        singleRecord("Z001-subject", c, onePoint),                       // no such frame
        singleRecord("B001-subject", std::string(64, 'x'), onePoint),    // photo replaced
        singleRecord("B001-subject", c, onePoint, R"({"x": 0, "y": 0, "width": 999, "height": 800})"),
        // Provenance and points: PhotoCoachingReview::pointsValid, PairReview.PhotoCoachingNeeds...
        singleRecord("B001-subject", c, R"([{"title": "a", "detail": "d"}, {"title": "a", "detail": "e"}])"),
        singleRecord("B001-subject", c, onePoint) + "," + singleRecord("B001-subject", c, onePoint),
    };
    for (const auto& records : bad) {
        writeText(file, "[" + records + "]");
        expectError([&] { SinglePhotoCoaching::load(file, document().frames); }, singleMessage);
    }
}

TEST(SinglePhotoCoaching, FileAndFrameFailuresPassThrough) {
    TempDir tmp;
    const auto file = tmp / "single.json";
    EXPECT_THROW(SinglePhotoCoaching::load(file, document().frames), std::filesystem::filesystem_error);
    writeText(file, R"([{"frameID": "B001-subject"}])");
    EXPECT_THROW(SinglePhotoCoaching::load(file, document().frames), DecodingError);

    writeText(file, "[]");
    auto frames = document().frames;
    frames.push_back(frame("B001", "subject", 'q'));
    expectError([&] { SinglePhotoCoaching::load(file, frames); }, "Duplicate frame identity.");
}
