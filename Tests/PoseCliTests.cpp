// The detect and retry commands as a user runs them.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>

#include "Torvane/ContentHash.h"
#include "Torvane/Json.h"

using namespace torvane;
namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
};

CliRun runCli(const std::string& arguments) {
    CliRun run;
    std::string command = std::string(TORVANE_CLI_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.out.append(buffer.data(), n);
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const std::string messi = (fs::path(TORVANE_SAMPLES_DIR) / "messi5.jpg").string();

}  // namespace

TEST(PoseCli, DetectPrintsBothResultsOrOneKind) {
    CliRun both = runCli("detect " + messi + " --crop 40,20,480,322");
    ASSERT_EQ(both.status, 0) << both.out;
    auto results = json::parse(both.out);
    EXPECT_EQ(results["twoD"]["kind"], "2D");
    EXPECT_EQ(results["twoD"]["status"], "needsReview");
    EXPECT_EQ(results["threeD"]["kind"], "3D");
    EXPECT_EQ(results["threeD"]["status"], "needsReview");
    EXPECT_EQ(results["threeD"]["joints"].size(), 17u);

    CliRun bad = runCli("detect " + messi + " --crop 40,20,480,322 --kind 4D");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("--kind must be 2D or 3D"), std::string::npos) << bad.out;

    CliRun outside = runCli("detect " + messi + " --crop 500,0,100,100 --kind 2D");
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.out, "Crop is outside the image or not integral pixels.\n");
}

TEST(PoseCli, RetryChecksThePhotoAndPrintsTheRecord) {
    CliRun changed = runCli("retry " + messi + " --hash " + std::string(64, '0') + " --crop 0,0,100,100");
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out, "Source photo changed.\n");

    CliRun retry = runCli("retry " + messi + " --hash " + contentHashOfFile(messi) + " --crop 0,0,548,342");
    ASSERT_EQ(retry.status, 0) << retry.out;
    auto record = json::parse(retry.out);
    EXPECT_EQ(record["crop"], json::parse(R"({"x": 0, "y": 0, "width": 548, "height": 342})"));
    EXPECT_EQ(record["twoD"]["status"], "needsReview");
    EXPECT_EQ(record["threeD"]["status"], "needsReview");
    EXPECT_TRUE(record["timestamp"].is_number());
}
