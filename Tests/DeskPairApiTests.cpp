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

TEST_F(DeskPairApi, LookingSavesNothing) {
    auto view = get(pairs("p1"));
    ASSERT_EQ(view.status, 200) << view.body;
    EXPECT_FALSE(json::parse(view.body)["saved"].get<bool>());
    EXPECT_FALSE(json::parse(view.body).contains("singleCoaching")) << "paired subjects have none";
    EXPECT_EQ(json::parse(get(pairs("p2")).body)["singleCoaching"]["version"], "none");
    EXPECT_EQ(get(pairs("p9")).status, 404);
    EXPECT_EQ(onDisk(), "(none)");
}

TEST_F(DeskPairApi, DecisionsAreSavedAtOnceAndConflictsReturnTheLatest) {
    auto first = post(pairs("p1/context"), {{"edit", {{"cornerDirection", "left"}}}, {"revision", 0}});
    ASSERT_EQ(first.status, 200) << first.body;
    ReviewDocument saved = ReviewStore::load(documentPath);
    EXPECT_EQ(saved.revision, 1);
    ASSERT_EQ(saved.comparisonContexts.size(), 1u);
    EXPECT_EQ(saved.comparisonContexts[0].cornerDirection, CornerDirection::left);

    // A window that still shows revision 0 loses, sees the store's message and the disk.
    const std::string before = onDisk();
    auto late = post(pairs("p1/context"), {{"edit", {{"cornerDirection", "right"}}}, {"revision", 0}});
    EXPECT_EQ(late.status, 409);
    EXPECT_EQ(errorOf(late), ReviewStore::conflictMessage);
    EXPECT_EQ(json::parse(late.body)["pairView"]["revision"], 1);
    EXPECT_EQ(onDisk(), before);
}

// The review, the checklist and the single-photo coaching each saved once, then refused
// requests: each answers with its status and the library's message, and no file changes.
TEST_F(DeskPairApi, RefusalsCarryTheLibrarysMessageAndChangeNothing) {
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"subjectConfirmed", true}}}, {"revision", 0}}).status, 200);
    const ReviewDocument fresh = ReviewStore::make(session.manifest, session.report);
    CoachingChecklistReview review(*fresh.frame("p1-subject"));
    review.provenance = "Coach K";
    review.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, "Relax the wrists."};
    auto checklist = post(frames("p1-subject/checklist"), {{"checklist", json::encode(review)}, {"version", "none"}});
    ASSERT_EQ(checklist.status, 200) << checklist.body;
    const json::Value checklistVersion = json::parse(checklist.body)["version"];
    auto singleFile = [&](const std::string& title) {
        const ReviewFrame& single = *fresh.frame("p2-subject");
        SinglePhotoCoaching record{"p2-subject", single.sourceHash, single.panel, "Coach K", {{title, "Look further ahead."}}};
        return json::Value::array({json::encode(record)}).dump();
    };
    ASSERT_EQ(post(pairs("p2/single-coaching"), {{"contents", singleFile("Eyes up")}, {"version", "none"}}).status, 200);
    auto unevidenced = review;
    unevidenced.items[1] = {CoachingTopic::levers, CoachingReviewStatus::hypothesis, ""};

    const struct {
        const char* name;
        std::string target;
        json::Value body;
        int status;
        std::string message;
    } cases[] = {
        {"context for a photo without reference", pairs("p2/context"),
         {{"edit", {{"cornerDirection", "left"}}}, {"revision", 1}}, 422, "This photo has no reference."},
        {"coaching file that is not a list", pairs("p1/coaching"), {{"contents", "{\"pairID\": 1}"}, {"revision", 1}}, 400, ""},
        {"renewing a context that still matches", pairs("p1/context/renew"), {{"revision", 1}}, 422,
         ReviewDecisions::notStaleMessage},
        {"unknown pair", pairs("p7/context"), {{"edit", json::Value::object()}, {"revision", 1}}, 404,
         "The document has no pair p7."},
        {"lean edit without its basis", frames("p1-subject/lean"), {{"edit", {{"state", "draft"}}}, {"revision", 1}}, 400, ""},
        {"checklist edited from an older version", frames("p1-subject/checklist"),
         {{"checklist", json::encode(review)}, {"version", "none"}}, 409, ChecklistStore::conflictMessage},
        {"checklist topic without evidence", frames("p1-subject/checklist"),
         {{"checklist", json::encode(unevidenced)}, {"version", checklistVersion}}, 422, CoachingChecklistReview::invalidMessage},
        {"single-photo coaching over what another window saved", pairs("p2/single-coaching"),
         {{"contents", singleFile("Hips")}, {"version", "none"}}, 409, SinglePhotoCoachingStore::conflictMessage},
    };
    const fs::path checklistPath = ChecklistStore::path(documentPath), singlePath = SinglePhotoCoachingStore::path(documentPath);
    const std::string before = onDisk() + readText(checklistPath) + readText(singlePath);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = post(c.target, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (!c.message.empty()) {
            EXPECT_EQ(errorOf(r), c.message);
        }
        if (c.status == 409) {
            EXPECT_TRUE(json::parse(r.body).contains("pairView") || json::parse(r.body).contains("checklist"))
                << "the page is shown what is saved";
        }
        EXPECT_EQ(onDisk() + readText(checklistPath) + readText(singlePath), before);
    }
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

// The report is served with a policy that runs no script; nothing else of the run is served.
TEST_F(DeskPairApi, SessionReportIsWrittenIntoTheRunAndServedWithoutScripts) {
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"cornerDirection", "left"}}}, {"revision", 0}}).status, 200);
    auto written = post("/api/sessions/" + sessionID + "/report", json::Value::object());
    ASSERT_EQ(written.status, 200) << written.body;
    const std::string url = json::parse(written.body)["url"];
    auto page = get(url);
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-security-policy"], "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
    EXPECT_EQ(readText(session.report.parent_path() / url.substr(url.rfind('/') + 1)), page.body);
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/session-report-x.json").status, 404);
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/results.json").status, 404);
}
