// The review commands as a user runs them: the built torvane binary on real files.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "ReviewFixtures.h"

using namespace torvane;
using namespace reviewtest;

namespace {

struct CliRun {
    int code;
    std::string out, err;
};

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct CliTest : ::testing::Test {
    TempFolder temp;
    Session session = writeSession(temp.path / "session");

    CliRun torvane(const std::string& arguments) {
        const fs::path out = temp.path / "stdout", err = temp.path / "stderr";
        std::string command = quoted(TORVANE_CLI_PATH) + " " + arguments + " >" + quoted(out) + " 2>" + quoted(err);
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readBytes(out), readBytes(err)};
    }
    fs::path keep(const std::string& name, const std::string& text) {
        fs::path file = temp.path / name;
        writeBytes(file, text);
        return file;
    }
};

}  // namespace

TEST_F(CliTest, ReviewCommandsWorkOnRealFiles) {
    const std::string manifest = quoted(session.manifest), report = quoted(session.report);
    CliRun made = torvane("review make " + manifest + " " + report);
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(json::decodeText<ReviewDocument>(made.out), ReviewStore::make(session.manifest, session.report));
    const fs::path doc = keep("doc.json", made.out);

    CliRun path = torvane("review path " + report);
    EXPECT_EQ(path.out, ReviewStore::documentURL(session.report).string() + "\n");
    const std::string target = quoted(ReviewStore::documentURL(session.report));

    EXPECT_EQ(torvane("review save " + quoted(doc) + " --to " + target).out, ReviewStore::documentURL(session.report).string() + "\n");
    CliRun again = torvane("review save " + quoted(doc) + " --to " + target);
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(again.err, std::string(ReviewStore::conflictMessage) + "\n");
    EXPECT_EQ(torvane("review save " + quoted(doc) + " --to " + target + " --expected-revision 0").code, 0);
    EXPECT_EQ(torvane("review save " + quoted(doc) + " --to " + target + " --expected-revision x").code, 2);
    EXPECT_EQ(torvane("review load " + target).out, made.out);
    EXPECT_EQ(torvane("review validate " + target + " --against " + manifest + " " + report).out, "valid\n");

    CliRun set = torvane("review set-joint " + quoted(doc) + " --frame p1-subject --joint left_knee --state corrected --point 20,21");
    ASSERT_EQ(set.code, 0) << set.err;
    const fs::path edited = keep("edited.json", set.out);
    EXPECT_EQ(json::parse(torvane("review points " + quoted(edited) + " --frame p1-subject --joint left_knee").out),
              json::parse(R"({"raw":{"x":10,"y":10},"seed":{"x":10,"y":10},"display":{"x":20,"y":21},"reviewed":{"x":20,"y":21}})"));
    EXPECT_EQ(json::parse(torvane("review points " + quoted(doc) + " --frame p1-subject --joint nose --kind 3D").out),
              json::Value::object());
    CliRun outside = torvane("review set-joint " + quoted(doc) + " --frame p1-subject --joint left_knee --state confirmed --point 60,1");
    EXPECT_EQ(outside.code, 1);
    EXPECT_EQ(outside.err, std::string(ReviewFrame::invalidJointMessage) + "\n");
    EXPECT_EQ(torvane("review set-joint " + quoted(doc) + " --frame nope --joint left_knee --state occluded").err,
              "The document has no frame nope.\n");

    const fs::path edit = keep("edit.json", R"({"state":"uncertain"})");
    auto restored = json::decodeText<ReviewDocument>(
        torvane("review restore " + quoted(edited) + " --frame p1-subject --joint left_knee --edit " + quoted(edit)).out);
    EXPECT_EQ(restored.frames[0].edits.at("left_knee"), (JointEdit{std::nullopt, JointReviewState::uncertain}));
    EXPECT_EQ(restored.frames[0].history.back().action, "undo");
    auto removed = json::decodeText<ReviewDocument>(
        torvane("review restore " + quoted(edited) + " --frame p1-subject --joint left_knee").out);
    EXPECT_TRUE(removed.frames[0].edits.empty());

    EXPECT_EQ(json::parse(torvane("review pairs " + quoted(doc)).out),
              json::parse(R"([{"id":"p1","subjectID":"p1-subject","referenceID":"p1-reference"},{"id":"p2","subjectID":"p2-subject"}])"));
    ReviewDocument document = json::decodeText<ReviewDocument>(made.out);
    ReviewPair p1 = PairReview::resolve(document.frames)[0];
    EXPECT_EQ(torvane("review evidence-hash " + quoted(doc) + " --pair p1").out, PairReview::evidenceHash(document, p1) + "\n");
    EXPECT_EQ(json::decodeText<PairContext>(torvane("review new-context " + quoted(doc) + " --pair p1").out), PairContext(document, p1));
    EXPECT_EQ(torvane("review new-context " + quoted(doc) + " --pair p2").err, "This photo has no reference.\n");
    EXPECT_EQ(torvane("review check " + quoted(doc)).out, "valid\n");
    document.leanContexts["p2"] = {};
    EXPECT_EQ(torvane("review check " + quoted(keep("lean.json", json::pretty(document)))).err,
              std::string(LeanReview::pairMessage) + "\n");

    CliRun retried = torvane("review retry " + quoted(doc) + " --session " + manifest + " --frame p1-reference --crop 4,4,30,30");
    ASSERT_EQ(retried.code, 0) << retried.err;
    auto withRetry = json::decodeText<ReviewDocument>(retried.out);
    ASSERT_TRUE(withRetry.frames[1].retries);
    EXPECT_EQ(withRetry.frames[1].retries->at(0).crop, (PixelRect{4, 4, 30, 30}));
    platform::writePNG(platform::Raster::filled(64, 48, 1, 2, 3), session.folder / "b.png");
    EXPECT_EQ(torvane("review retry " + quoted(doc) + " --session " + manifest + " --frame p1-reference --crop 4,4,30,30").err,
              "Source photo changed.\n");
}

// Several real torvane processes save a missing document at once: exactly one wins.
TEST_F(CliTest, ConcurrentFirstSavesThroughTheCommandLine) {
    const fs::path doc = keep("doc.json", json::pretty(ReviewStore::make(session.manifest, session.report)));
    const fs::path target = temp.path / "review.json";
    std::string script;
    for (int i = 0; i < 3; ++i)
        script += "(" + quoted(TORVANE_CLI_PATH) + " review save " + quoted(doc) + " --to " + quoted(target) +
                  " >/dev/null 2>" + quoted(temp.path / ("err" + std::to_string(i))) + "; echo $? >" +
                  quoted(temp.path / ("rc" + std::to_string(i))) + ") & ";
    ASSERT_EQ(std::system(("sh -c " + quoted(script + "wait")).c_str()), 0);
    int wins = 0;
    for (int i = 0; i < 3; ++i) {
        std::string rc = readBytes(temp.path / ("rc" + std::to_string(i)));
        if (rc == "0\n") {
            ++wins;
        } else {
            EXPECT_EQ(rc, "1\n");
            EXPECT_EQ(readBytes(temp.path / ("err" + std::to_string(i))), std::string(ReviewStore::conflictMessage) + "\n");
        }
    }
    EXPECT_EQ(wins, 1);
    EXPECT_NO_THROW(ReviewStore::load(target));
}
