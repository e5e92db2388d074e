// The review desk: a local web app over the library for reviewing the riders of the sessions
// in a data folder. The desk answers HTTP requests (security checks, the JSON API under
// /api/, display images, the embedded web files); DeskServer puts it on a socket.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "Torvane/Json.h"
#include "Torvane/ReviewDocument.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/platform/HttpServer.h"

namespace torvane::desk {

using platform::HttpRequest;
using platform::HttpResponse;

// A session the desk serves; `id` is derived from the manifest's location, so it is stable
// across restarts and names no path.
struct DeskSession {
    std::string id;
    std::string title;
    std::string folderName;
    std::filesystem::path manifestURL;
    std::filesystem::path resultsURL;
};

// A slow action (a detection retry, a rescan) running beside the requests.
struct DeskJob {
    std::string id;
    std::string kind;               // "retry" or "rescan"
    std::string state = "running";  // then "done" or "error"
    std::string stage;              // what it is doing now, for the page
    std::string message;            // the failure's text
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    json::Value result;             // what a finished job produced
};

class Desk {
public:
    static constexpr std::size_t maxBodyBytes = 64 * 1024;
    static constexpr int displaySide = 2048;
    static constexpr int panelSide = 4096;
    static constexpr int thumbSide = 360;
    static constexpr const char* cookieName = "torvane_token";

    // `log` receives discovery progress and one line per request.
    Desk(std::filesystem::path dataDirectory, std::ostream& log);
    ~Desk();
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    // Runs discovery over the data folder and replaces the session index.
    void discover();
    // The address the desk is reached at: requests must name it in Host (and in Origin for
    // changes). A loopback address also answers to "localhost".
    void setAddress(const std::string& host, int port);
    const std::string& token() const { return token_; }
    std::string openURL() const;

    // Safe to call from many threads at once.
    HttpResponse handle(const HttpRequest& request);

    // Waits until no job runs any more.
    void finishJobs();

    // The response of a request that already passed the security checks (for the router).
    using Route = HttpResponse (Desk::*)(const HttpRequest&, const std::vector<std::string>&);

private:
    struct CachedImage;

    HttpResponse checkedHandle(const HttpRequest& request);
    std::optional<HttpResponse> refuse(const HttpRequest& request) const;

    HttpResponse page(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse asset(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse listSessions(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse sessionDetail(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse frameDetail(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse frameImage(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse runFile(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse decideJoint(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse undoJoint(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse startRetry(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse startRescan(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse jobStatus(const HttpRequest&, const std::vector<std::string>&);
    // The pair view (DeskPairs.cpp).
    HttpResponse pairDetail(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse decidePairContext(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse renewPairContext(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse decideLeanContext(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse decideLean(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse importCoaching(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse importSingleCoaching(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse saveChecklist(const HttpRequest&, const std::vector<std::string>&);
    HttpResponse writeReport(const HttpRequest&, const std::vector<std::string>&);

    DeskSession session(const std::string& id) const;
    // The saved document, or the fresh one when nothing is saved yet; `saved` tells which.
    ReviewDocument document(const DeskSession& session, bool& saved);
    ReviewDocument freshDocument(const DeskSession& session);
    json::Value frameJson(const DeskSession& session, const ReviewDocument& document, const ReviewFrame& frame,
                          bool saved) const;
    json::Value sessionSummary(const DeskSession& session);
    json::Value pairJson(const DeskSession& session, const ReviewDocument& document, const ReviewPair& pair,
                         bool saved);
    static ReviewPair pairIn(const ReviewDocument& document, const std::string& id);
    // Applies one decision to the saved document through the store; answers the pair as saved.
    HttpResponse changePair(const DeskSession& session, const std::string& pairID, const json::Value& body,
                            const std::function<ReviewDocument(const ReviewDocument&)>& change);
    // Loads the saved document (or makes it on the first decision), applies `change`, raises
    // the revision and saves through the store. A save made elsewhere since the page's
    // `revision` gives a 409 response carrying `latestView` of what is on disk under `latestKey`.
    std::variant<ReviewDocument, HttpResponse> saveChange(
        const DeskSession& session, const json::Value& body, const std::string& latestKey,
        const std::function<void(ReviewDocument&)>& change,
        const std::function<json::Value(const ReviewDocument&, bool)>& latestView);
    // Applies a change to one frame through the store; answers the frame as saved.
    HttpResponse changeFrame(const DeskSession& session, const std::string& frameID, const json::Value& body,
                             const std::function<json::Value(ReviewFrame&)>& change);
    std::mutex& saveMutex(const std::string& sessionID);
    std::string startJob(const std::string& kind, std::function<json::Value(DeskJob&)> work);

    std::filesystem::path dataDirectory_;
    std::ostream& log_;
    std::string token_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    std::vector<std::string> allowedHosts_;

    mutable std::mutex mutex_;  // guards everything below
    std::vector<DeskSession> sessions_;
    std::vector<SessionDiscoveryFailure> failures_;
    std::map<std::string, ReviewDocument> fresh_;                 // by session id
    std::map<std::string, std::pair<std::string, ReviewDocument>> loaded_;  // saved ones by session, with their stamp
    std::map<std::string, std::unique_ptr<std::mutex>> saveMutexes_;
    std::map<std::string, std::shared_ptr<DeskJob>> jobs_;
    std::vector<std::thread> threads_;
    std::map<std::string, std::shared_ptr<const std::string>> images_;  // JPEG bytes by key
    std::vector<std::string> imageOrder_;                               // oldest first
    std::size_t imageBytes_ = 0;
    std::mutex detectorMutex_;  // one detection at a time
    std::mutex logMutex_;
};

// The desk on a socket, served from a background thread.
class DeskServer {
public:
    static constexpr int firstPort = 8750;

    explicit DeskServer(Desk& desk);
    ~DeskServer();
    DeskServer(const DeskServer&) = delete;
    DeskServer& operator=(const DeskServer&) = delete;

    // Binds `host` at `port` (the first free one from firstPort when absent, any free one
    // for 0) and starts serving; returns the port. Fails when nothing can be bound.
    int start(const std::string& host, std::optional<int> port);
    // Stops accepting, lets requests in progress and running jobs finish.
    void stop();

private:
    Desk& desk_;
    std::unique_ptr<platform::HttpServer> server_;
    std::thread thread_;
};

}  // namespace torvane::desk
