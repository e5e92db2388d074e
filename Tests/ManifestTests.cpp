#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/Json.h"
#include "Torvane/SessionManifest.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

std::string rider(const std::string& role, const std::string& extra = "") {
    return R"({"role":")" + role + R"(","rider":"R","panel":{"x":0,"y":0,"width":10,"height":10},)"
           R"("crop":{"x":0,"y":0,"width":10,"height":10},"annotations":[],"annotationNote":"none")" + extra + "}";
}

std::string pair(const std::string& id, const std::string& file, const std::string& riders) {
    return R"({"id":")" + id + R"(","file":")" + file + R"(","riders":[)" + riders + "]}";
}

std::string manifest(const std::string& pairs, int schema = 1) {
    return R"({"schemaVersion":)" + std::to_string(schema) +
           R"(,"session":"Day","annotationProvenance":"none","pairs":[)" + pairs + "]}";
}

// The message of the error that loading throws, or "no error".
std::string loadError(const fs::path& file) { return messageOf([&] { SessionManifest::load(file); }); }

class Manifest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path file = dir / "session.json";
    std::string write(const std::string& text) {
        test::writeText(file, text);
        return loadError(file);
    }
};

}  // namespace

TEST_F(Manifest, ValidManifestLoadsUnchanged) {
    std::string text = manifest(pair("A001", "a.jpg", rider("reference", R"(,"file":"b.jpg","torsoLength":null)") +
                                                           "," + rider("subject", R"(,"torsoLength":120.5)")) +
                                "," + pair("front_2", "sub/../c.jpg", rider("subject")) + "," +
                                pair("x-1", "d.jpg", rider("subject")));
    EXPECT_EQ(write(text), "no error");
    auto m = SessionManifest::load(file);
    ASSERT_EQ(m.pairs.size(), 3u);
    EXPECT_FALSE(m.pairs[0].riders[0].torsoLength);
    EXPECT_EQ(m.pairs[0].riders[1].torsoLength, 120.5);
    EXPECT_EQ(SessionManifest::assetURL(m.pairs[0], &m.pairs[0].riders[0], file), dir.path() / "b.jpg");
    EXPECT_EQ(SessionManifest::assetURL(m.pairs[0], &m.pairs[0].riders[1], file), dir.path() / "a.jpg");
    EXPECT_EQ(SessionManifest::assetURL(m.pairs[1], nullptr, file), dir.path() / "c.jpg");
    // Written back, it decodes to the same manifest.
    EXPECT_EQ(json::decode<SessionManifest>(json::encode(m)), m);
}

TEST_F(Manifest, SchemaChecks) {
    const std::string one = pair("A", "a.jpg", rider("subject"));
    EXPECT_EQ(write(manifest(one, 2)), SessionManifest::schemaMessage);
    EXPECT_EQ(write(manifest("")), SessionManifest::schemaMessage);
    EXPECT_EQ(write(manifest(one + "," + one)), SessionManifest::schemaMessage);
}

TEST_F(Manifest, EntryChecks) {
    for (std::string id : {"", "a b", "a/b", "a.b", "caf\xc3\xa9"})
        EXPECT_EQ(write(manifest(pair(id, "a.jpg", rider("subject")))), SessionManifest::entryMessage) << id;
    for (std::string riders : {rider("subject") + "," + rider("subject"), rider("reference"), std::string(),
                               rider("subject") + "," + rider("reference") + "," + rider("reference"),
                               rider("Subject")})
        EXPECT_EQ(write(manifest(pair("A", "a.jpg", riders))), SessionManifest::entryMessage) << riders;
    EXPECT_EQ(write(manifest(pair("A", "a.jpg", rider("reference") + "," + rider("subject")))), "no error");
    // Ids must fit in a picture's file name, the longest of which can be created.
    const std::string longest(SessionManifest::maxIDLength, 'A');
    EXPECT_EQ(write(manifest(pair(longest + "A", "a.jpg", rider("subject")))), SessionManifest::entryMessage);
    EXPECT_EQ(write(manifest(pair(longest, "a.jpg", rider("subject")))), "no error");
    EXPECT_NO_THROW(test::writeText(dir / (longest + "-reference-3D.png"), "x"));
}

TEST_F(Manifest, PathsStayInsideTheSessionFolder) {
    EXPECT_EQ(write(manifest(pair("A", "/etc/passwd", rider("subject")))), "Asset path must be relative.");
    EXPECT_EQ(write(manifest(pair("A", "a.jpg", rider("subject", R"(,"file":"/x.jpg")")))),
              "Asset path must be relative.");
    EXPECT_EQ(write(manifest(pair("A", "../x.jpg", rider("subject")))), "Asset escapes session folder.");
    EXPECT_EQ(write(manifest(pair("A", "", rider("subject")))), "Asset escapes session folder.");
    EXPECT_EQ(write(manifest(pair("A", "sub/", rider("subject")))), "no error");

    // A link inside the folder that leads out of it escapes; one that stays inside is fine.
    TempDir outside;
    test::writeText(outside / "x.jpg", "x");
    fs::create_symlink(outside / "x.jpg", dir / "out.jpg");
    test::writeText(dir / "in.jpg", "x");
    fs::create_symlink(dir / "in.jpg", dir / "alias.jpg");
    EXPECT_EQ(write(manifest(pair("A", "out.jpg", rider("subject")))), "Asset escapes session folder.");
    EXPECT_EQ(write(manifest(pair("A", "alias.jpg", rider("subject")))), "no error");
    auto m = SessionManifest::load(file);
    EXPECT_EQ(SessionManifest::assetURL(m.pairs[0], nullptr, file), dir.path() / "in.jpg");

    // The first failing pair decides the error.
    EXPECT_EQ(write(manifest(pair("A", "../x.jpg", rider("subject")) + "," + pair("b c", "a.jpg", rider("subject")))),
              "Asset escapes session folder.");
}

TEST_F(Manifest, ReachedThroughALinkedFolder) {
    TempDir real;
    test::writeText(real / "session.json", manifest(pair("A", "a.jpg", rider("subject"))));
    fs::create_directory_symlink(real.path(), dir / "linked");
    auto m = SessionManifest::load(dir / "linked" / "session.json");
    EXPECT_EQ(SessionManifest::assetURL(m.pairs[0], nullptr, dir / "linked" / "session.json"), real / "a.jpg");
}
