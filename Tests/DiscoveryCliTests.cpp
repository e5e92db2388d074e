// `torvane discover` as a person runs it: the real binary over a real data folder.
#include <gtest/gtest.h>

#include "DiscoveryTestSupport.h"

using namespace torvane;
using namespace torvane::testing;
namespace fs = std::filesystem;

namespace {

int discoverCommand(const std::string& arguments, std::string& output) {
    return runCommand(std::string(TORVANE_CLI_PATH) + " discover " + arguments + " 2>/dev/null", output);
}

}  // namespace

TEST(DiscoveryCli, ReusesMatchingResultsAndWritesTheReport) {
    TemporaryFolder data;
    fs::create_directory(data / "b session");
    writePhoto(data / "b session" / "p.jpg", 10, 8, 1);
    ScriptedAnalysis analysis;
    const auto first = SessionDiscovery::run(data.path(), {}, {}, analysis.callback());
    ASSERT_EQ(first.sessions.size(), 1u);
    const fs::path results = first.sessions[0].resultsURL;
    writeText(results.parent_path() / "index.html", "<html></html>");
    fs::create_directory(data / "a broken");
    writeText(data / "a broken" / "session.json", "{}");

    std::string output;
    const fs::path reportFile = data / "report.json";
    ASSERT_EQ(discoverCommand(shellQuoted(data.path()) + " --report " + shellQuoted(reportFile) + " --known " +
                                  shellQuoted((data / "b session" / "session.json").string() + "=" + results.string()),
                              output),
              0);
    EXPECT_NE(output.find("Session folder: a broken"), std::string::npos) << output;
    EXPECT_NE(output.find("Session folder: b session"), std::string::npos) << output;
    EXPECT_NE(output.find("Nothing was analysed"), std::string::npos) << output;
    EXPECT_NE(output.find((results.parent_path() / "index.html").string()), std::string::npos) << output;

    const auto report = json::parse(readText(reportFile));
    ASSERT_EQ(report["failures"].size(), 1u);
    EXPECT_EQ(report["failures"][0]["folderURL"], (data / "a broken").string());
    EXPECT_NE(report["failures"][0]["message"].get<std::string>().find("missing required key"), std::string::npos);
    const json::Value session = {{"manifestURL", (data / "b session" / "session.json").string()},
                                 {"resultsURL", results.string()},
                                 {"title", "b session"},
                                 {"wasAnalyzed", false}};
    EXPECT_EQ(report["sessions"], json::Value::array({session}));
    EXPECT_EQ(analysis.calls, 1);
}

TEST(DiscoveryCli, UsageMistakesExitTwo) {
    std::string output;
    EXPECT_EQ(discoverCommand("", output), 2);
    EXPECT_EQ(discoverCommand("/tmp --known no-equals-sign", output), 2);
    EXPECT_EQ(discoverCommand("/tmp --bogus", output), 2);
    EXPECT_EQ(discoverCommand("/tmp /var", output), 2);
}

TEST(DiscoveryCli, AMissingDataFolderIsReportedNotFatal) {
    TemporaryFolder data;
    std::string output;
    EXPECT_EQ(discoverCommand(shellQuoted(data / "absent") + " --report " + shellQuoted(data / "r.json"), output), 0);
    EXPECT_NE(output.find("The data folder is missing or unavailable."), std::string::npos) << output;
    EXPECT_EQ(json::parse(readText(data / "r.json"))["failures"][0]["folderURL"], (data / "absent").string());
}
