// The desk's HTTP API in process, through a real socket: the security checks, what only the
// API shows (the browser tests drive the rest through the pages), decisions saved through
// the store, refusals that leave every file as it was, and saves that lose the race.
#include <chrono>
#include <sstream>
#include <thread>

#include "Desk.h"
#include "TestSupport.h"
#include "Torvane/ReviewDecisions.h"
#include "Torvane/ReviewEditing.h"
#include "Torvane/platform/HttpServer.h"

namespace {

using namespace torvane;
using namespace torvane::test;
using torvane::desk::Desk;
using torvane::desk::DeskServer;
using torvane::platform::HttpClientResponse;
using Headers = std::vector<std::pair<std::string, std::string>>;

class DeskApi : public ::testing::Test {
protected:
    void SetUp() override {
        session = writeSession(dir / "Track day");
        writeText(session.report.parent_path() / "index.html", "<!doctype html><title>run</title>");
        desk.discover();
        port = server.start("127.0.0.1", 0);
        host = "127.0.0.1:" + std::to_string(port);
        auto sessions = get("/api/sessions");
        sessionID = json::parse(sessions.body)["sessions"][0]["id"];
    }

    HttpClientResponse request(const std::string& method, const std::string& target, Headers headers,
                               const std::string& body = {}, const std::string& type = {}) {
        return torvane::platform::httpRequest("127.0.0.1", port, method, target, headers, body, type);
    }
    Headers trusted() const { return {{"Host", host}, {"Cookie", std::string(Desk::cookieName) + "=" + desk.token()}}; }
    HttpClientResponse get(const std::string& target) { return request("GET", target, trusted()); }
    HttpClientResponse post(const std::string& target, const json::Value& body) {
        Headers headers = trusted();
        headers.emplace_back("Origin", "http://" + host);
        return request("POST", target, headers, body.dump(), "application/json");
    }
    std::string frameURL(const std::string& frame) { return "/api/sessions/" + sessionID + "/frames/" + frame; }
    std::string pairs(const std::string& rest) const { return "/api/sessions/" + sessionID + "/pairs/" + rest; }
    fs::path documentPath() const { return ReviewStore::documentPath(session.report); }
    std::string onDisk() const { return fs::exists(documentPath()) ? readText(documentPath()) : "(none)"; }

    json::Value waitForJob(const std::string& id) {
        for (int i = 0; i < 3000; ++i) {
            auto status = json::parse(get("/api/jobs/" + id).body);
            if (status["state"] != "running") return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return {};
    }

    TempDir dir;
    SessionFiles session;
    std::ostringstream log;
    Desk desk{dir.path(), log};
    DeskServer server{desk};
    int port = 0;
    std::string host, sessionID;
};

std::string errorOf(const HttpClientResponse& r) { return json::parse(r.body).value("error", ""); }

// A whole lean edit, as the page sends it.
json::Value wheel(double x0, double y0, double x1, double y1, const std::string& state = "draft") {
    return {{"wheel", {{"a", {{"x", x0}, {"y", y0}}}, {"b", {{"x", x1}, {"y", y1}}}, {"uncertainty", 1}}},
            {"basis", "imageVertical"}, {"state", state}, {"referenceReviewed", false}, {"featureID", ""}};
}

struct RefusedRequest {
    const char* name;
    std::string method, target;
    bool token, ownHost, ownOrigin;
    std::string type, body;
    int status;
};

TEST_F(DeskApi, RefusesRequestsThatFailTheChecks) {
    const std::string sid = sessionID;
    const std::string big(Desk::maxBodyBytes + 1, 'x');
    const std::vector<RefusedRequest> table = {
        {"no token", "GET", "/api/sessions", false, true, true, "", "", 403},
        {"no token for a page", "GET", "/assets/app.js", false, true, true, "", "", 403},
        {"foreign Host (DNS rebinding)", "GET", "/api/sessions", true, false, true, "", "", 403},
        {"cross-site Origin", "POST", "/api/rescan", true, true, false, "application/json", "{}", 403},
        {"form post", "POST", "/api/rescan", true, true, true, "application/x-www-form-urlencoded", "a=b", 415},
        {"path-like session id", "GET", "/api/sessions/..%2F..%2Fetc/frames/p1-subject", true, true, true, "", "", 404},
        {"path-like frame id", "GET", "/api/sessions/" + sid + "/frames/..%2Fsession.json", true, true, true, "", "", 404},
        {"file beside the results", "GET", "/api/sessions/" + sid + "/run/results.json", true, true, true, "", "", 404},
        {"picture of no rider", "GET", "/api/sessions/" + sid + "/run/zz-subject-2D.png", true, true, true, "", "", 404},
        {"unknown frame", "GET", "/api/sessions/" + sid + "/frames/p9-subject", true, true, true, "", "", 404},
        {"unknown asset", "GET", "/assets/..%2F..%2FCMakeLists.txt", true, true, true, "", "", 404},
        {"wrong method", "POST", "/api/sessions", true, true, true, "application/json", "{}", 405},
        {"body over the cap", "POST", "/api/rescan", true, true, true, "application/json", big, 413},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Headers headers = {{"Host", row.ownHost ? host : "evil.example:" + std::to_string(port)}};
        if (row.token) headers.emplace_back("Cookie", std::string(Desk::cookieName) + "=" + desk.token());
        headers.emplace_back("Origin", row.ownOrigin ? "http://" + host : "http://evil.example");
        auto response = request(row.method, row.target, headers, row.body, row.type);
        EXPECT_EQ(response.status, row.status) << response.body;
        if (row.status != 413) {
            EXPECT_EQ(response.headers["content-security-policy"], "default-src 'self'");
            EXPECT_EQ(response.headers["x-content-type-options"], "nosniff");
        }
    }
    // Nothing was written by any refused request.
    EXPECT_FALSE(fs::exists(documentPath()));
}

TEST_F(DeskApi, FirstVisitTradesTheTokenForACookie) {
    auto wrong = request("GET", "/?token=" + std::string(48, '0'), {{"Host", host}});
    EXPECT_EQ(wrong.status, 403);
    auto first = request("GET", "/?token=" + desk.token(), {{"Host", "localhost:" + std::to_string(port)}});
    EXPECT_EQ(first.status, 303);
    EXPECT_EQ(first.headers["location"], "/");
    EXPECT_NE(first.headers["set-cookie"].find(std::string(Desk::cookieName) + "=" + desk.token()), std::string::npos);
    EXPECT_NE(first.headers["set-cookie"].find("HttpOnly"), std::string::npos);
    EXPECT_EQ(get("/").status, 200);
    // The log names paths only, never the token.
    EXPECT_EQ(log.str().find(desk.token()), std::string::npos);
}

// The page's use of sessions, riders and pictures is the browser test's; here pictures that
// a second look takes from the browser's cache, and the run's own page.
TEST_F(DeskApi, ServesPicturesForTheCacheAndTheRunPage) {
    auto frame = json::parse(get(frameURL("p1-subject")).body);
    EXPECT_EQ(frame["joints"][12]["points"]["2D"]["display"], json::Value({{"x", 10.0}, {"y", 10.0}}));
    EXPECT_EQ(frame["joints"][12]["points"]["3D"]["seed"], json::Value({{"x", 12.0}, {"y", 12.0}}));
    for (const std::string size : {"display", "panel", "thumb"}) {
        SCOPED_TRACE(size);
        auto image = get(frameURL("p1-reference") + "/image?size=" + size);
        ASSERT_EQ(image.status, 200);
        EXPECT_EQ(image.body.substr(0, 3), "\xff\xd8\xff");
        Headers again = trusted();
        again.emplace_back("If-None-Match", image.headers["etag"]);
        auto cached = request("GET", frameURL("p1-reference") + "/image?size=" + size, again);
        EXPECT_EQ(cached.status, 304);
        EXPECT_TRUE(cached.body.empty());
    }
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/index.html").status, 200);
}

TEST_F(DeskApi, ASaveThatLosesTheRaceLeavesTheWinnersFile) {
    ASSERT_EQ(post(frameURL("p2-subject") + "/joints", {{"joint", "left_hip"}, {"state", "uncertain"}, {"revision", 0}}).status,
              200);
    // Another window or a terminal saves revision 2 while the page still shows revision 1.
    ReviewEditing::update(documentPath(), [](ReviewDocument& d) {
        d.frame("p2-subject")->setJoint("left_knee", std::nullopt, JointReviewState::occluded);
    });
    const std::string winner = readText(documentPath());

    auto late = post(frameURL("p2-subject") + "/joints", {{"joint", "right_knee"}, {"state", "confirmed"}, {"revision", 1}});
    EXPECT_EQ(late.status, 409);
    auto answer = json::parse(late.body);
    EXPECT_EQ(answer["error"], ReviewStore::conflictMessage);
    // The answer carries what is on disk now, so the page can show it and offer the action again.
    EXPECT_EQ(answer["frame"]["revision"], 2);
    EXPECT_EQ(answer["frame"]["joints"][12]["state"], "occluded");
    EXPECT_EQ(readText(documentPath()), winner);

    auto again = post(frameURL("p2-subject") + "/joints", {{"joint", "right_knee"}, {"state", "confirmed"}, {"revision", 2}});
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(ReviewStore::load(documentPath()).revision, 3);
}

TEST_F(DeskApi, ConcurrentDecisionsFromTwoWindowsLoseNothing) {
    // Two windows each send decisions without knowing the other's revision; every save
    // either lands or is refused as a conflict, and what landed is all on disk.
    std::vector<std::string> joints = {"left_knee", "right_knee", "left_hip"};
    std::vector<int> statuses(joints.size());
    std::vector<std::thread> windows;
    for (std::size_t i = 0; i < joints.size(); ++i)
        windows.emplace_back([&, i] {
            statuses[i] = post(frameURL("p1-reference") + "/joints", {{"joint", joints[i]}, {"state", "confirmed"}}).status;
        });
    for (auto& w : windows) w.join();
    const ReviewDocument onDisk = ReviewStore::load(documentPath());
    std::size_t landed = 0;
    for (std::size_t i = 0; i < joints.size(); ++i) {
        EXPECT_TRUE(statuses[i] == 200 || statuses[i] == 409) << statuses[i];
        EXPECT_EQ(onDisk.frame("p1-reference")->edits.count(joints[i]) == 1, statuses[i] == 200) << joints[i];
        landed += statuses[i] == 200;
    }
    EXPECT_EQ(onDisk.revision, static_cast<std::int64_t>(landed));
    EXPECT_GE(landed, 1u);
}

// The retry that succeeds is driven from the page in the browser test; here the refusal,
// a rescan, and a job nobody started.
TEST_F(DeskApi, RetryAndRescanRunAsJobs) {
    auto outside = post(frameURL("p2-subject") + "/retry", {{"crop", {{"x", 70}, {"y", 4}, {"width", 40}, {"height", 30}}}});
    EXPECT_EQ(outside.status, 422);
    auto rescan = post("/api/rescan", json::Value::object());
    ASSERT_EQ(rescan.status, 202);
    EXPECT_EQ(waitForJob(json::parse(rescan.body)["job"])["state"], "done");
    EXPECT_EQ(json::parse(get("/api/sessions").body)["sessions"][0]["id"], sessionID);
    EXPECT_EQ(get("/api/jobs/ffffffffffffffff").status, 404);
    EXPECT_FALSE(fs::exists(documentPath()));
}

TEST_F(DeskApi, LookingAtAPairSavesNothing) {
    auto view = get(pairs("p1"));
    ASSERT_EQ(view.status, 200) << view.body;
    EXPECT_FALSE(json::parse(view.body)["saved"].get<bool>());
    EXPECT_EQ(get(pairs("p9")).status, 404);
    EXPECT_EQ(onDisk(), "(none)");
}

// Decisions the browser tests make land on disk at once; here the refused ones: each answers
// with its status and the library's message, and no file changes. The review, the checklist
// and the single-photo coaching are each saved once first.
TEST_F(DeskApi, RefusalsCarryTheLibrarysMessageAndChangeNothing) {
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"subjectConfirmed", true}}}, {"revision", 0}}).status, 200);
    const ReviewDocument fresh = ReviewStore::make(session.manifest, session.report);
    CoachingChecklistReview review(*fresh.frame("p1-subject"));
    review.provenance = "Coach K";
    review.items[0] = {CoachingTopic::grip, CoachingReviewStatus::focus, "Relax the wrists."};
    auto checklist = post(frameURL("p1-subject/checklist"), {{"checklist", json::encode(review)}, {"version", "none"}});
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
        {"joint point outside the panel", frameURL("p1-subject/joints"),
         {{"joint", "left_knee"}, {"state", "corrected"}, {"point", {{"x", 63}, {"y", 10}}}, {"revision", 1}}, 422,
         ReviewFrame::invalidJointMessage},
        {"unknown joint", frameURL("p1-subject/joints"), {{"joint", "knee"}, {"state", "confirmed"}, {"revision", 1}}, 422,
         "Unknown joint \"knee\"."},
        {"context edited from an older revision", pairs("p1/context"),
         {{"edit", {{"cornerDirection", "right"}}}, {"revision", 0}}, 409, ReviewStore::conflictMessage},
        {"coaching file that is not a list", pairs("p1/coaching"), {{"contents", "{\"pairID\": 1}"}, {"revision", 1}}, 400, ""},
        {"renewing a context that still matches", pairs("p1/context/renew"), {{"revision", 1}}, 422,
         ReviewDecisions::notStaleMessage},
        {"unknown pair", pairs("p7/context"), {{"edit", json::Value::object()}, {"revision", 1}}, 404,
         "The document has no pair p7."},
        {"checklist edited from an older version", frameURL("p1-subject/checklist"),
         {{"checklist", json::encode(review)}, {"version", "none"}}, 409, ChecklistStore::conflictMessage},
        {"checklist topic without evidence", frameURL("p1-subject/checklist"),
         {{"checklist", json::encode(unevidenced)}, {"version", checklistVersion}}, 422,
         CoachingChecklistReview::invalidMessage},
        {"single-photo coaching over what another window saved", pairs("p2/single-coaching"),
         {{"contents", singleFile("Hips")}, {"version", "none"}}, 409, SinglePhotoCoachingStore::conflictMessage},
    };
    const fs::path checklistPath = ChecklistStore::path(documentPath());
    const fs::path singlePath = SinglePhotoCoachingStore::path(documentPath());
    const std::string before = onDisk() + readText(checklistPath) + readText(singlePath);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = post(c.target, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(errorOf(r).rfind(c.message, 0), 0u) << errorOf(r);  // the message, or how it begins
        if (c.status == 409) {
            EXPECT_TRUE(json::parse(r.body).contains("pairView") || json::parse(r.body).contains("checklist"))
                << "the page is shown what is saved";
        }
        EXPECT_EQ(onDisk() + readText(checklistPath) + readText(singlePath), before);
    }
}

TEST_F(DeskApi, WheelLinesAndTheirApproval) {
    auto line = post(frameURL("p1-subject/lean"), {{"edit", wheel(20, 35, 30, 5, "reviewed")}, {"revision", 0}});
    ASSERT_EQ(line.status, 200) << line.body;
    ASSERT_EQ(post(frameURL("p1-reference/lean"), {{"edit", wheel(20, 40, 24, 10, "reviewed")}, {"revision", 1}}).status, 200);
    auto approved = post(pairs("p1/lean-context"),
                         {{"edit", {{"commonCue", true}, {"comparableView", true}, {"comparableHeading", true},
                                    {"comparableReference", true}, {"comparableCameraRoll", true}, {"similarSpeedReported", false},
                                    {"approve", true}}},
                          {"revision", 2}});
    ASSERT_EQ(approved.status, 200) << approved.body;
    const auto lean = json::parse(approved.body)["lean"];
    EXPECT_TRUE(lean["approved"].get<bool>());
    EXPECT_TRUE(lean["comparison"]["measurement"].is_object()) << lean.dump();
    EXPECT_EQ(ReviewStore::load(documentPath()).revision, 3);
}

// The report is served with a policy that runs no script; nothing else of the run is served.
TEST_F(DeskApi, SessionReportIsWrittenIntoTheRunAndServedWithoutScripts) {
    ASSERT_EQ(post(pairs("p1/context"), {{"edit", {{"cornerDirection", "left"}}}, {"revision", 0}}).status, 200);
    auto written = post("/api/sessions/" + sessionID + "/report", json::Value::object());
    ASSERT_EQ(written.status, 200) << written.body;
    const std::string url = json::parse(written.body)["url"];
    auto page = get(url);
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-security-policy"], "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
    EXPECT_EQ(readText(session.report.parent_path() / url.substr(url.rfind('/') + 1)), page.body);
    EXPECT_EQ(get("/api/sessions/" + sessionID + "/run/session-report-x.json").status, 404);
}

}  // namespace
