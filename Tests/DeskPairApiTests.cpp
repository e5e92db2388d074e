// The pair view's API over a real socket: the desk served on a free port, requests with
// the token cookie, Host and Origin a page would send. Every decision lands on disk at
// once through the store; refusals carry the library's message and leave the disk as it was.
#include <gtest/gtest.h>

#include <sstream>

#include "Desk.h"
#include "TestSupport.h"
#include "Torvane/ReviewDecisions.h"
#include "Torvane/platform/HttpServer.h"

using namespace torvane;
using namespace torvane::test;

namespace {

struct DeskPairApi : ::testing::Test {
    TempDir temp;
    SessionFiles session = writeSession(temp.path() / "data" / "session");
    fs::path documentPath = ReviewStore::documentPath(session.report);
    std::ostringstream log;
    desk::Desk desk{temp.path() / "data", log};
    desk::DeskServer server{desk};
    int port = 0;
    std::string sessionID;

    void SetUp() override {
        desk.discover();
        port = server.start("127.0.0.1", 0);
        auto sessions = get("/api/sessions");
        ASSERT_EQ(sessions.status, 200) << sessions.body;
        sessionID = json::parse(sessions.body)["sessions"][0]["id"];
    }

    std::vector<std::pair<std::string, std::string>> headers() const {
        const std::string host = "127.0.0.1:" + std::to_string(port);
        return {{"Host", host}, {"Cookie", std::string(desk::Desk::cookieName) + "=" + desk.token()},
                {"Origin", "http://" + host}};
    }
    platform::HttpClientResponse get(const std::string& target) const {
        return platform::httpRequest("127.0.0.1", port, "GET", target, headers());
    }
    platform::HttpClientResponse post(const std::string& target, const json::Value& body) const {
        return platform::httpRequest("127.0.0.1", port, "POST", target, headers(), body.dump(), "application/json");
    }
    std::string pairs(const std::string& rest) const { return "/api/sessions/" + sessionID + "/pairs/" + rest; }
    std::string frames(const std::string& rest) const { return "/api/sessions/" + sessionID + "/frames/" + rest; }
    std::string onDisk() const { return fs::exists(documentPath) ? readText(documentPath) : "(none)"; }
};

std::string errorOf(const platform::HttpClientResponse& r) { return json::parse(r.body).value("error", ""); }

// A whole lean edit, as the page sends it.
json::Value wheel(double x0, double y0, double x1, double y1, const std::string& state = "draft") {
    return {{"wheel", {{"a", {{"x", x0}, {"y", y0}}}, {"b", {{"x", x1}, {"y", y1}}}, {"uncertainty", 1}}},
            {"basis", "imageVertical"}, {"state", state}, {"referenceReviewed", false}, {"featureID", ""}};
}

}  // namespace

TEST_F(DeskPairApi, PairViewBeforeAnyDecision) {
    auto r = get(pairs("p1"));
    ASSERT_EQ(r.status, 200) << r.body;
    const auto view = json::parse(r.body);
    EXPECT_FALSE(view["saved"].get<bool>());
    EXPECT_FALSE(view["context"]["stored"].get<bool>());
    EXPECT_EQ(view["analysis"]["observations"].size(), 4u);
    EXPECT_EQ(view["analysis"]["observations"][0]["comparisonUnavailable"], "Review whether these feature views are comparable.");
    EXPECT_EQ(view["checklist"]["rows"].size(), 9u);
    EXPECT_EQ(view["checklist"]["version"], "none");
    EXPECT_EQ(view["lean"]["comparison"]["summary"], "Review both wheel axes and their reference evidence before comparing.");
    EXPECT_EQ(get(pairs("p9")).status, 404);
    EXPECT_EQ(onDisk(), "(none)") << "looking saves nothing";
}

TEST_F(DeskPairApi, DecisionsAreSavedAtOnceAndConflictsReturnTheLatest) {
    auto first = post(pairs("p1/context"), {{"edit", {{"cornerDirection", "left"}}}, {"revision", 0}});
    ASSERT_EQ(first.status, 200) << first.body;
    ReviewDocument saved = ReviewStore::load(documentPath);
    EXPECT_EQ(saved.revision, 1);
    ASSERT_EQ(saved.comparisonContexts.size(), 1u);
    EXPECT_EQ(saved.comparisonContexts[0].cornerDirection, CornerDirection::left);
    EXPECT_EQ(saved.comparisonContexts[0].evidenceHash, PairReview::evidenceHash(saved, ReviewDecisions::pair(saved, "p1")));

    auto views = post(pairs("p1/context"),
                      {{"edit", {{"comparability", {"leftKnee", "comparable"}}, {"kneePlacement", {"leftKnee", "closerToTank"}}}},
                       {"revision", 1}});
    ASSERT_EQ(views.status, 200) << views.body;
    const auto answer = json::parse(views.body);
    EXPECT_EQ(answer["revision"], 2);
    EXPECT_EQ(answer["analysis"]["observations"][2]["comparisonUnavailable"],
              "Required visible joints are missing, excluded, or geometrically invalid.");

    // A window that still shows revision 1 loses, sees the store's message and the disk.
    const std::string before = onDisk();
    auto late = post(pairs("p1/context"), {{"edit", {{"cornerDirection", "right"}}}, {"revision", 1}});
    EXPECT_EQ(late.status, 409);
    EXPECT_EQ(errorOf(late), ReviewStore::conflictMessage);
    EXPECT_EQ(json::parse(late.body)["pairView"]["revision"], 2);
    EXPECT_EQ(onDisk(), before);
}

TEST_F(DeskPairApi, RefusalsCarryTheLibrarysMessageAndChangeNothing) {
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"subjectConfirmed", true}}}, {"revision", 0}}).status, 200);
    const std::string hash = ReviewStore::load(documentPath).comparisonContexts[0].evidenceHash;
    auto coachingFile = [&](const std::string& evidence) {
        json::Value context = {{"pairID", "p1"}, {"subjectID", "p1-subject"}, {"referenceID", "p1-reference"},
                               {"evidenceHash", evidence}, {"subjectConfirmed", false}, {"referenceConfirmed", false},
                               {"cornerDirection", "unknown"}, {"comparability", json::Value::array()},
                               {"photoCoaching", {{"cornerDirection", "left"}, {"provenance", "Coach K"},
                                                  {"points", {{{"title", "Look"}, {"detail", "Further ahead."}}}}}}};
        return json::Value::array({context}).dump();
    };
    const struct {
        const char* name;
        std::string target;
        json::Value body;
        int status;
        std::string message;
    } cases[] = {
        {"context for a photo without reference", pairs("p2/context"),
         {{"edit", {{"cornerDirection", "left"}}}, {"revision", 1}}, 422, "This photo has no reference."},
        {"wheel line leaving the panel", frames("p1-subject/lean"), {{"edit", wheel(10, 10, 70, 30)}, {"revision", 1}},
         422, LeanAnnotation::invalidMessage},
        {"coaching made for other photos", pairs("p1/coaching"), {{"contents", coachingFile(std::string(64, '0'))}, {"revision", 1}},
         422, "Comparison approval belongs to different source evidence."},
        {"coaching file that is not a list", pairs("p1/coaching"), {{"contents", "{\"pairID\": 1}"}, {"revision", 1}}, 400, ""},
        {"renewing a context that still matches", pairs("p1/context/renew"), {{"revision", 1}}, 422,
         ReviewDecisions::notStaleMessage},
        {"unknown pair", pairs("p7/context"), {{"edit", json::Value::object()}, {"revision", 1}}, 404,
         "The document has no pair p7."},
        {"lean edit without its basis", frames("p1-subject/lean"), {{"edit", {{"state", "draft"}}}, {"revision", 1}}, 400, ""},
    };
    const std::string before = onDisk();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = post(c.target, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (!c.message.empty()) {
            EXPECT_EQ(errorOf(r), c.message);
        }
        EXPECT_EQ(onDisk(), before);
    }
    auto imported = post(pairs("p1/coaching"), {{"contents", coachingFile(hash)}, {"revision", 1}});
    ASSERT_EQ(imported.status, 200) << imported.body;
    const ReviewDocument after = ReviewStore::load(documentPath);
    EXPECT_EQ(after.revision, 2) << "an import raises the revision once";
    EXPECT_TRUE(after.comparisonContexts[0].subjectConfirmed) << "the reviewer's decisions survive an import";
    EXPECT_EQ(after.comparisonContexts[0].photoCoaching->points[0].title, "Look");
}

TEST_F(DeskPairApi, WheelLinesAndTheirApproval) {
    auto line = post(frames("p1-subject/lean"), {{"edit", wheel(20, 35, 30, 5, "reviewed")}, {"revision", 0}});
    ASSERT_EQ(line.status, 200) << line.body;
    EXPECT_TRUE(json::parse(line.body)["lean"]["frames"]["p1-subject"]["measurement"].is_object());
    ASSERT_EQ(post(frames("p1-reference/lean"), {{"edit", wheel(20, 40, 24, 10, "reviewed")}, {"revision", 1}}).status, 200);
    auto approved = post(pairs("p1/lean-context"),
                         {{"edit", {{"commonCue", true}, {"comparableView", true}, {"comparableHeading", true},
                                    {"comparableReference", true}, {"comparableCameraRoll", true}, {"similarSpeedReported", false},
                                    {"approve", true}}},
                          {"revision", 2}});
    ASSERT_EQ(approved.status, 200) << approved.body;
    const auto lean = json::parse(approved.body)["lean"];
    EXPECT_TRUE(lean["approved"].get<bool>());
    EXPECT_TRUE(lean["comparison"]["measurement"].is_object()) << lean.dump();
    EXPECT_EQ(ReviewStore::load(documentPath).revision, 3);
}

TEST_F(DeskPairApi, ChecklistSavesBesideTheReviewWithItsOwnVersionCheck) {
    const ReviewDocument fresh = ReviewStore::make(session.manifest, session.report);
    CoachingChecklistReview review(*fresh.frame("p1-subject"));
    review.provenance = "Coach K";
    review.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, "Relax the wrists."};
    auto saved = post(frames("p1-subject/checklist"), {{"checklist", json::encode(review)}, {"version", "none"}});
    ASSERT_EQ(saved.status, 200) << saved.body;
    const auto answer = json::parse(saved.body);
    EXPECT_EQ(answer["rows"][0]["statusLabel"], "Focus");
    const fs::path file = ChecklistStore::path(documentPath);
    EXPECT_EQ(CoachingChecklist::load(file, fresh.frames).at("p1-subject"), review);
    const std::string before = readText(file);

    auto stale = post(frames("p1-subject/checklist"), {{"checklist", json::encode(review)}, {"version", "none"}});
    EXPECT_EQ(stale.status, 409);
    EXPECT_EQ(errorOf(stale), ChecklistStore::conflictMessage);
    review.items[1] = {CoachingTopic::levers, CoachingReviewStatus::hypothesis, ""};
    auto unevidenced = post(frames("p1-subject/checklist"), {{"checklist", json::encode(review)}, {"version", answer["version"]}});
    EXPECT_EQ(unevidenced.status, 422);
    EXPECT_EQ(errorOf(unevidenced), CoachingChecklistReview::invalidMessage);
    EXPECT_EQ(readText(file), before);
}

TEST_F(DeskPairApi, SessionReportIsWrittenIntoTheRunAndServedWithoutScripts) {
    EXPECT_EQ(errorOf(post("/api/sessions/" + sessionID + "/report", json::Value::object())),
              "No saved review for this results file yet; review the session before making its report.");
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"cornerDirection", "left"}}}, {"revision", 0}}).status, 200);
    auto written = post("/api/sessions/" + sessionID + "/report", json::Value::object());
    ASSERT_EQ(written.status, 200) << written.body;
    const std::string url = json::parse(written.body)["url"];
    auto page = get(url);
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(page.headers["content-security-policy"], "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
    EXPECT_NE(page.body.find("<h2>Pair p1: Ana and Ben</h2>"), std::string::npos);
    EXPECT_EQ(readText(session.report.parent_path() / url.substr(url.rfind('/') + 1)), page.body);
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/session-report-x.json").status, 404);
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/results.json").status, 404);
}

TEST_F(DeskPairApi, SinglePhotoCoachingIsImportedBesideTheReview) {
    const ReviewDocument fresh = ReviewStore::make(session.manifest, session.report);
    const ReviewFrame& single = *fresh.frame("p2-subject");
    auto file = [&](const std::string& frameID, const std::string& title) {
        SinglePhotoCoaching record{frameID, single.sourceHash, single.panel, "Coach K", {{title, "Look further ahead."}}};
        return json::Value::array({json::encode(record)}).dump();
    };
    auto before = get(pairs("p2"));
    ASSERT_EQ(before.status, 200) << before.body;
    EXPECT_EQ(json::parse(before.body)["singleCoaching"]["version"], "none");
    EXPECT_FALSE(json::parse(get(pairs("p1")).body).contains("singleCoaching")) << "paired subjects have none";

    auto imported = post(pairs("p2/single-coaching"), {{"contents", file("p2-subject", "Eyes up")}, {"version", "none"}});
    ASSERT_EQ(imported.status, 200) << imported.body;
    EXPECT_EQ(json::parse(imported.body)["singleCoaching"]["coaching"]["points"][0]["title"], "Eyes up");
    const fs::path stored = SinglePhotoCoachingStore::path(documentPath);
    EXPECT_EQ(SinglePhotoCoaching::load(stored, fresh.frames).at("p2-subject").points[0].title, "Eyes up");
    const auto reloaded = json::parse(get(pairs("p2")).body)["singleCoaching"];
    EXPECT_EQ(reloaded["coaching"]["provenance"], "Coach K");
    const std::string version = reloaded["version"];

    const std::string onDiskBefore = readText(stored);
    const struct {
        const char* name;
        json::Value body;
        int status;
        std::string message;
    } cases[] = {
        {"coaching for a photo with a reference", {{"contents", file("p1-subject", "Eyes")}, {"version", version}}, 422,
         SinglePhotoCoaching::invalidMessage},
        {"a file that is not a list", {{"contents", "{\"frameID\": \"p2-subject\"}"}, {"version", version}}, 400, ""},
        {"imported over what another window saved", {{"contents", file("p2-subject", "Hips")}, {"version", "none"}}, 409,
         SinglePhotoCoachingStore::conflictMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = post(pairs("p2/single-coaching"), c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (!c.message.empty()) {
            EXPECT_EQ(errorOf(r), c.message);
        }
        EXPECT_EQ(readText(stored), onDiskBefore);
    }
    auto conflict = post(pairs("p2/single-coaching"), {{"contents", file("p2-subject", "Hips")}, {"version", "none"}});
    EXPECT_EQ(json::parse(conflict.body)["pairView"]["singleCoaching"]["version"], version) << "the page is shown what is saved";
    EXPECT_EQ(onDisk(), "(none)") << "the review document is not touched";
}
