// The detect and retry commands as a user runs them.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/Json.h"

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

    auto retry = runCli({"retry", messi, "--hash", contentHashOfFile(messi), "--crop", "0,0,548,342"});
    ASSERT_EQ(retry.exitCode, 0) << retry.err;
    auto record = json::parse(retry.out);
    EXPECT_EQ(record["crop"], json::parse(R"({"x": 0, "y": 0, "width": 548, "height": 342})"));
    EXPECT_EQ(record["twoD"]["status"], "needsReview");
    EXPECT_EQ(record["threeD"]["status"], "needsReview");
    EXPECT_TRUE(record["timestamp"].is_number());
}
