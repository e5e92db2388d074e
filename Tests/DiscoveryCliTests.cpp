// `torvane discover` as a person runs it: the real binary over a real data folder.
#include <gtest/gtest.h>

#include "DiscoveryTestSupport.h"
#include "TestSupport.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

TEST(DiscoveryCli, ReusesMatchingResultsAndWritesTheReport) {
    TempDir data;
    fs::create_directory(data / "b session");
    writePhoto(data / "b session" / "p.jpg", 10, 8);
    ScriptedAnalysis analysis;
    const auto first = SessionDiscovery::run(data.path(), {}, {}, analysis.callback());
    ASSERT_EQ(first.sessions.size(), 1u);
    const fs::path results = first.sessions[0].resultsURL;
    writeText(results.parent_path() / "index.html", "<html></html>");
    fs::create_directory(data / "a broken");
    writeText(data / "a broken" / "session.json", "{}");

    const fs::path reportFile = data / "report.json";
    const auto manifest = data.path() / "b session" / "session.json";
    const auto run = runCli({"discover", data.path().string(), "--report", reportFile.string(), "--known",
                             manifest.string() + "=" + results.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Session folder: a broken"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Session folder: b session"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Nothing was analysed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find((results.parent_path() / "index.html").string()), std::string::npos) << run.out;

    const auto report = json::parse(readText(reportFile));
    ASSERT_EQ(report["failures"].size(), 1u);
    EXPECT_EQ(report["failures"][0]["folderURL"], (data / "a broken").string());
    EXPECT_NE(report["failures"][0]["message"].get<std::string>().find("missing required key"), std::string::npos);
    const json::Value session = {{"manifestURL", manifest.string()},
                                 {"resultsURL", results.string()},
                                 {"title", "b session"},
                                 {"wasAnalyzed", false}};
    EXPECT_EQ(report["sessions"], json::Value::array({session}));
    EXPECT_EQ(analysis.calls, 1);
}

TEST(DiscoveryCli, UsageMistakesExitTwo) {
    EXPECT_EQ(runCli({"discover"}).exitCode, 2);
    EXPECT_EQ(runCli({"discover", "/tmp", "--known", "no-equals-sign"}).exitCode, 2);
    EXPECT_EQ(runCli({"discover", "/tmp", "--known", "=results.json"}).exitCode, 2);
    EXPECT_EQ(runCli({"discover", "/tmp", "--bogus"}).exitCode, 2);
    EXPECT_EQ(runCli({"discover", "/tmp", "/var"}).exitCode, 2);
}

TEST(DiscoveryCli, AMissingDataFolderIsReportedNotFatal) {
    TempDir data;
    const auto run = runCli({"discover", (data / "absent").string(), "--report", (data / "r.json").string()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("The data folder is missing or unavailable."), std::string::npos) << run.out;
    EXPECT_EQ(json::parse(readText(data / "r.json"))["failures"][0]["folderURL"], (data / "absent").string());
}
