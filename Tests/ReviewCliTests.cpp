// The review commands as a user runs them: the built torvane binary on real files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "ReviewFixtures.h"

using namespace torvane;
using namespace reviewtest;

namespace {

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct CliTest : ::testing::Test {
    TempDir temp;
    Session session = writeSession(temp.path() / "session");

    fs::path keep(const std::string& name, const std::string& text) {
        fs::path file = temp.path() / name;
        writeText(file, text);
        return file;
    }
};

// Runs torvane with the words of `line` (scratch paths hold no spaces).
test::ProcessResult run(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return test::runCli(words);
}

std::string word(const fs::path& p) { return p.string(); }

}  // namespace

TEST_F(CliTest, ReviewCommandsWorkOnRealFiles) {
    const std::string manifest = word(session.manifest), report = word(session.report);
    test::ProcessResult made = run("review make " + manifest + " " + report);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(json::decodeText<ReviewDocument>(made.out), ReviewStore::make(session.manifest, session.report));
    const fs::path doc = keep("doc.json", made.out);

    test::ProcessResult path = run("review path " + report);
    EXPECT_EQ(path.out, ReviewStore::documentPath(session.report).string() + "\n");
    const std::string target = word(ReviewStore::documentPath(session.report));

    EXPECT_EQ(run("review save " + word(doc) + " --to " + target).out, ReviewStore::documentPath(session.report).string() + "\n");
    test::ProcessResult again = run("review save " + word(doc) + " --to " + target);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, std::string(ReviewStore::conflictMessage) + "\n");
    test::ProcessResult same = run("review save " + word(doc) + " --to " + target + " --expected-revision 0");
    EXPECT_EQ(same.exitCode, 1);
    EXPECT_EQ(same.err, std::string(ReviewStore::staleRevisionMessage) + "\n");
    json::Value raised = json::parse(made.out);
    raised["revision"] = 1;
    const fs::path next = keep("next.json", raised.dump());
    EXPECT_EQ(run("review save " + word(next) + " --to " + target + " --expected-revision 0").exitCode, 0);
    EXPECT_EQ(json::parse(run("review load " + target).out), raised);
    EXPECT_EQ(run("review validate " + target + " --against " + manifest + " " + report).out, "valid\n");

    test::ProcessResult set = run("review set-joint " + word(doc) + " --frame p1-subject --joint left_knee --state corrected --point 20,21");
    ASSERT_EQ(set.exitCode, 0) << set.err;
    const fs::path edited = keep("edited.json", set.out);
    EXPECT_EQ(json::parse(run("review points " + word(edited) + " --frame p1-subject --joint left_knee").out),
              json::parse(R"({"raw":{"x":10,"y":10},"seed":{"x":10,"y":10},"display":{"x":20,"y":21},"reviewed":{"x":20,"y":21}})"));
    EXPECT_EQ(json::parse(run("review points " + word(doc) + " --frame p1-subject --joint nose --kind 3D").out),
              json::Value::object());
    test::ProcessResult outside = run("review set-joint " + word(doc) + " --frame p1-subject --joint left_knee --state confirmed --point 60,1");
    EXPECT_EQ(outside.exitCode, 1);
    EXPECT_EQ(outside.err, std::string(ReviewFrame::invalidJointMessage) + "\n");
    EXPECT_EQ(run("review set-joint " + word(doc) + " --frame nope --joint left_knee --state occluded").err,
              "The document has no frame nope.\n");

    const fs::path edit = keep("edit.json", R"({"state":"uncertain"})");
    auto restored = json::decodeText<ReviewDocument>(
        run("review restore " + word(edited) + " --frame p1-subject --joint left_knee --edit " + word(edit)).out);
    EXPECT_EQ(restored.frames[0].edits.at("left_knee"), (JointEdit{std::nullopt, JointReviewState::uncertain}));
    EXPECT_EQ(restored.frames[0].history.back().action, "undo");
    auto removed = json::decodeText<ReviewDocument>(
        run("review restore " + word(edited) + " --frame p1-subject --joint left_knee").out);
    EXPECT_TRUE(removed.frames[0].edits.empty());

    EXPECT_EQ(json::parse(run("review pairs " + word(doc)).out),
              json::parse(R"([{"id":"p1","subjectID":"p1-subject","referenceID":"p1-reference"},{"id":"p2","subjectID":"p2-subject"}])"));
    ReviewDocument document = json::decodeText<ReviewDocument>(made.out);
    ReviewPair p1 = PairReview::resolve(document.frames)[0];
    EXPECT_EQ(run("review evidence-hash " + word(doc) + " --pair p1").out, PairReview::evidenceHash(document, p1) + "\n");
    EXPECT_EQ(json::decodeText<PairContext>(run("review new-context " + word(doc) + " --pair p1").out), PairContext(document, p1));
    EXPECT_EQ(run("review new-context " + word(doc) + " --pair p2").err, "This photo has no reference.\n");
    EXPECT_EQ(run("review check " + word(doc)).out, "valid\n");
    document.leanContexts["p2"] = {};
    EXPECT_EQ(run("review check " + word(keep("lean.json", json::pretty(document)))).err,
              std::string(LeanReview::pairMessage) + "\n");

    test::ProcessResult retried = run("review retry " + word(doc) + " --session " + manifest + " --frame p1-reference --crop 4,4,30,30");
    ASSERT_EQ(retried.exitCode, 0) << retried.err;
    auto withRetry = json::decodeText<ReviewDocument>(retried.out);
    ASSERT_TRUE(withRetry.frames[1].retries);
    EXPECT_EQ(withRetry.frames[1].retries->at(0).crop, (PixelRect{4, 4, 30, 30}));
    platform::writePNG(platform::Raster::filled(64, 48, 1, 2, 3), session.folder / "b.png");
    EXPECT_EQ(run("review retry " + word(doc) + " --session " + manifest + " --frame p1-reference --crop 4,4,30,30").err,
              "Source photo changed.\n");
}

// Several real torvane processes save a missing document at once: exactly one wins.
TEST_F(CliTest, ConcurrentFirstSavesThroughTheCommandLine) {
    const fs::path doc = keep("doc.json", json::pretty(ReviewStore::make(session.manifest, session.report)));
    const fs::path target = temp.path() / "review.json";
    std::string script;
    for (int i = 0; i < 3; ++i)
        script += "(" + quoted(TORVANE_CLI_PATH) + " review save " + quoted(doc) + " --to " + quoted(target) +
                  " >/dev/null 2>" + quoted(temp.path() / ("err" + std::to_string(i))) + "; echo $? >" +
                  quoted(temp.path() / ("rc" + std::to_string(i))) + ") & ";
    ASSERT_EQ(std::system(("sh -c " + quoted(script + "wait")).c_str()), 0);
    int wins = 0;
    for (int i = 0; i < 3; ++i) {
        std::string rc = readText(temp.path() / ("rc" + std::to_string(i)));
        if (rc == "0\n") {
            ++wins;
        } else {
            EXPECT_EQ(rc, "1\n");
            // A loser may first have said that it waits for the winner's lock.
            std::string err = readText(temp.path() / ("err" + std::to_string(i)));
            const std::string waiting = "Waiting for another save of " + target.string() + " to finish...\n";
            if (err.rfind(waiting, 0) == 0) err.erase(0, waiting.size());
            EXPECT_EQ(err, std::string(ReviewStore::conflictMessage) + "\n");
        }
    }
    EXPECT_EQ(wins, 1);
    EXPECT_NO_THROW(ReviewStore::load(target));
}
