// The detect and retry commands as a user runs them.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/Json.h"
#include "Torvane/platform/Raster.h"

using namespace torvane;
using test::runCli;

namespace {
const std::string messi = test::samplePhoto("messi5.jpg").string();
}  // namespace

TEST(PoseCli, DetectPrintsBothResultsOrOneKind) {
    auto both = runCli({"detect", messi, "--crop", "40,20,480,322"});
    ASSERT_EQ(both.exitCode, 0) << both.err;
    auto results = json::parse(both.out);
    EXPECT_EQ(results["twoD"]["kind"], "2D");
    EXPECT_EQ(results["twoD"]["status"], "needsReview");
    EXPECT_EQ(results["threeD"]["kind"], "3D");
    EXPECT_EQ(results["threeD"]["status"], "needsReview");
    EXPECT_EQ(results["threeD"]["joints"].size(), 17u);

    auto bad = runCli({"detect", messi, "--crop", "40,20,480,322", "--kind", "4D"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--kind must be 2D or 3D"), std::string::npos) << bad.err;

    auto outside = runCli({"detect", messi, "--crop", "500,0,100,100", "--kind", "2D"});
    EXPECT_EQ(outside.exitCode, 1);
    EXPECT_EQ(outside.err, "Crop is outside the image or not integral pixels.\n");
    EXPECT_EQ(outside.out, "");
}

TEST(PoseCli, RetryChecksThePhotoAndPrintsTheRecord) {
    auto changed = runCli({"retry", messi, "--hash", std::string(64, '0'), "--crop", "0,0,100,100"});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_EQ(changed.err, "Source photo changed.\n");

    // Nobody in the crop: a record with both results, not an error.
    test::TempDir folder;
    const auto grey = folder / "grey.png";
    ASSERT_TRUE(platform::writePNG(platform::Raster::filled(320, 240, 90, 90, 90), grey));
    auto retry = runCli({"retry", grey.string(), "--hash", contentHashOfFile(grey), "--crop", "20,10,200,200"});
    ASSERT_EQ(retry.exitCode, 0) << retry.err;
    auto record = json::parse(retry.out);
    EXPECT_EQ(record["crop"], json::parse(R"({"x": 20, "y": 10, "width": 200, "height": 200})"));
    for (const char* kind : {"twoD", "threeD"}) {
        EXPECT_EQ(record[kind]["status"], "noPose") << kind;
        EXPECT_EQ(record[kind]["candidateCount"], 0) << kind;
    }
    EXPECT_GT(record["timestamp"].get<double>(), 0);
}
