// The desk's HTTP API in process, through a real socket: the security checks, every route,
// decisions saved through the store, and a save that loses the race to another writer.
#include <chrono>
#include <sstream>
#include <thread>

#include "Desk.h"
#include "TestSupport.h"
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
    fs::path documentPath() const { return ReviewStore::documentPath(session.report); }

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
        {"dotted session id", "GET", "/api/sessions/../frames", true, true, true, "", "", 404},
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

// A decision lands on disk at once; the library's refusals come back with its message and
// change nothing on disk.
TEST_F(DeskApi, EveryDecisionIsSavedAtOnce) {
    auto first = post(frameURL("p1-subject") + "/joints", {{"joint", "left knee"}, {"state", "confirmed"}, {"revision", 0}});
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(json::parse(first.body)["revision"], 1);
    EXPECT_EQ(json::parse(first.body)["joints"][12]["stateLabel"], "Confirmed \u00b7 visible");
    const ReviewDocument onDisk = ReviewStore::load(documentPath());
    EXPECT_EQ(onDisk.revision, 1);
    EXPECT_EQ(onDisk.frame("p1-subject")->edits.at("left_knee"), (JointEdit{Point2{10, 10}, JointReviewState::confirmed}));

    const std::string before = readText(documentPath());
    struct Bad {
        json::Value body;
        std::string message;
    };
    const std::vector<Bad> bad = {
        {{{"joint", "left_knee"}, {"state", "corrected"}, {"point", {{"x", 63}, {"y", 10}}}, {"revision", 1}},
         ReviewFrame::invalidJointMessage},
        {{{"joint", "knee"}, {"state", "confirmed"}, {"revision", 1}}, "Unknown joint \"knee\"."},
        {{{"joint", "left_knee"}, {"state", "approved"}, {"revision", 1}}, "state must be"},
    };
    for (const auto& row : bad) {
        SCOPED_TRACE(row.body.dump());
        auto response = post(frameURL("p1-subject") + "/joints", row.body);
        EXPECT_EQ(response.status, 422);
        EXPECT_NE(json::parse(response.body)["error"].get<std::string>().find(row.message), std::string::npos)
            << response.body;
    }
    EXPECT_EQ(readText(documentPath()), before);
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

}  // namespace
