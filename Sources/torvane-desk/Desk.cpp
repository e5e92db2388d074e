#include "Desk.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

#include "DeskHttp.h"
#include "EmbeddedAssets.h"
#include "Torvane/ContentHash.h"
#include "Torvane/ReviewEditing.h"

namespace torvane::desk {

namespace {

namespace fs = std::filesystem;

struct RouteEntry {
    const char* method;
    const char* pattern;  // segments; ":" matches one id, "*" the rest of the path
    Desk::Route route;
};

bool isLoopback(const std::string& host) { return host == "127.0.0.1" || host == "::1" || host == "localhost"; }

// Ids are names of sessions, frames and jobs, never paths.
bool isID(const std::string& text) {
    static const std::regex pattern("[A-Za-z0-9][A-Za-z0-9_.-]{0,127}");
    return std::regex_match(text, pattern) && text.find("..") == std::string::npos;
}

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    std::string part;
    std::stringstream stream(path);
    while (std::getline(stream, part, '/'))
        if (!part.empty()) out.push_back(part);
    return out;
}

bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookie(const HttpRequest& request, const std::string& name) {
    std::stringstream stream(request.header("cookie"));
    std::string part;
    while (std::getline(stream, part, ';')) {
        auto start = part.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        part = part.substr(start);
        if (part.rfind(name + "=", 0) == 0) return part.substr(name.size() + 1);
    }
    return {};
}

std::string contentTypeOf(std::string_view name) {
    auto ends = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    return "application/octet-stream";
}

// Conflicts with what another window or process saved are 409: the page reloads and offers
// the action again. Other refusals of the library are the input's fault.
int statusOf(const std::exception& error) {
    if (auto refusal = dynamic_cast<const HttpRefusal*>(&error)) return refusal->status;
    if (auto pose = dynamic_cast<const PoseError*>(&error)) {
        switch (pose->code()) {
            case PoseErrorCode::conflict:
            case PoseErrorCode::moved: return 409;
            case PoseErrorCode::notFound: return 404;
            case PoseErrorCode::lockFailed: return 503;
            case PoseErrorCode::backupFailed:
            case PoseErrorCode::writeFailed: return 500;
            default: return 422;
        }
    }
    if (dynamic_cast<const json::Value::exception*>(&error) || dynamic_cast<const DecodingError*>(&error)) return 400;
    return 500;
}

}  // namespace

Desk::Desk(fs::path dataDirectory, std::ostream& log)
    : dataDirectory_(std::move(dataDirectory)), log_(log), token_(randomHex(24)) {}

Desk::~Desk() { finishJobs(); }

void Desk::finishJobs() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
}

void Desk::discover() {
    auto report = SessionDiscovery::run(dataDirectory_, {}, [this](const std::string& folder) {
        std::lock_guard lock(logMutex_);
        log_ << "Session folder: " << folder << std::endl;
    });
    std::vector<DeskSession> sessions;
    for (const auto& s : report.sessions) {
        DeskSession entry;
        entry.id = contentHash(s.manifestURL.string()).substr(0, 12);
        entry.title = s.title;
        entry.folderName = s.manifestURL.parent_path().filename().string();
        entry.manifestURL = s.manifestURL;
        entry.resultsURL = s.resultsURL;
        sessions.push_back(std::move(entry));
    }
    {
        std::lock_guard lock(logMutex_);
        log_ << sessions.size() << " session(s) ready, " << report.failures.size() << " problem(s)." << std::endl;
        for (const auto& f : report.failures) log_ << "  " << f.folderURL.string() << ": " << f.message << std::endl;
    }
    std::lock_guard lock(mutex_);
    sessions_ = std::move(sessions);
    failures_ = std::move(report.failures);
    fresh_.clear();
    loaded_.clear();
}

void Desk::setAddress(const std::string& host, int port) {
    host_ = host;
    port_ = port;
    const std::string suffix = ":" + std::to_string(port);
    allowedHosts_ = {(host.find(':') != std::string::npos ? "[" + host + "]" : host) + suffix};
    if (isLoopback(host)) allowedHosts_ = {"127.0.0.1" + suffix, "localhost" + suffix, "[::1]" + suffix};
}

std::string Desk::openURL() const {
    const std::string shown = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return "http://" + shown + ":" + std::to_string(port_) + "/?token=" + token_;
}

std::optional<HttpResponse> Desk::refuse(const HttpRequest& request) const {
    // DNS rebinding: a page of another site resolved to this address still names its own host.
    const std::string host = request.header("host");
    if (std::find(allowedHosts_.begin(), allowedHosts_.end(), host) == allowedHosts_.end())
        return errorResponse(403, "This desk answers only to its own address.");
    const bool firstVisit = request.method == "GET" && request.path == "/" && request.parameter("token");
    if (firstVisit) {
        if (!sameSecret(*request.parameter("token"), token_)) return errorResponse(403, "Wrong or missing desk token.");
    } else if (!sameSecret(cookie(request, cookieName), token_)) {
        return errorResponse(403, "Wrong or missing desk token. Open the address torvane serve printed.");
    }
    if (request.method != "GET" && request.method != "HEAD") {
        const std::string origin = request.header("origin");
        if (std::none_of(allowedHosts_.begin(), allowedHosts_.end(),
                         [&](const std::string& h) { return origin == "http://" + h; }))
            return errorResponse(403, "Changes are accepted only from the desk's own pages.");
        const std::string type = request.header("content-type");
        if (type.rfind("application/json", 0) != 0) return errorResponse(415, "Changes must be sent as JSON.");
    }
    return std::nullopt;
}

HttpResponse Desk::handle(const HttpRequest& request) {
    const auto started = std::chrono::steady_clock::now();
    HttpResponse response = checkedHandle(request);
    // A page with its own, stricter policy (the session report) keeps it.
    if (std::none_of(response.headers.begin(), response.headers.end(),
                     [](const auto& h) { return h.first == "Content-Security-Policy"; }))
        response.headers.emplace_back("Content-Security-Policy", "default-src 'self'");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    response.headers.emplace_back("X-Frame-Options", "DENY");
    if (std::none_of(response.headers.begin(), response.headers.end(),
                     [](const auto& h) { return h.first == "Cache-Control"; }))
        response.headers.emplace_back("Cache-Control", "no-store");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    std::lock_guard lock(logMutex_);
    // The path only: the first visit's query holds the token.
    log_ << request.method << " " << request.path << " " << response.status << " " << ms << " ms" << std::endl;
    return response;
}

HttpResponse Desk::checkedHandle(const HttpRequest& request) {
    if (auto refusal = refuse(request)) return *refusal;
    static const RouteEntry routes[] = {
        {"GET", "", &Desk::page},
        {"GET", "assets/*", &Desk::asset},
        {"GET", "api/sessions", &Desk::listSessions},
        {"POST", "api/rescan", &Desk::startRescan},
        {"GET", "api/jobs/:", &Desk::jobStatus},
        {"GET", "api/sessions/:", &Desk::sessionDetail},
        {"GET", "api/sessions/:/run/:", &Desk::runFile},
        {"GET", "api/sessions/:/frames/:", &Desk::frameDetail},
        {"GET", "api/sessions/:/frames/:/image", &Desk::frameImage},
        {"POST", "api/sessions/:/frames/:/joints", &Desk::decideJoint},
        {"POST", "api/sessions/:/frames/:/undo", &Desk::undoJoint},
        {"POST", "api/sessions/:/frames/:/retry", &Desk::startRetry},
        {"GET", "api/sessions/:/pairs/:", &Desk::pairDetail},
        {"POST", "api/sessions/:/pairs/:/context", &Desk::decidePairContext},
        {"POST", "api/sessions/:/pairs/:/context/renew", &Desk::renewPairContext},
        {"POST", "api/sessions/:/pairs/:/lean-context", &Desk::decideLeanContext},
        {"POST", "api/sessions/:/pairs/:/coaching", &Desk::importCoaching},
        {"POST", "api/sessions/:/pairs/:/single-coaching", &Desk::importSingleCoaching},
        {"POST", "api/sessions/:/frames/:/lean", &Desk::decideLean},
        {"POST", "api/sessions/:/frames/:/checklist", &Desk::saveChecklist},
        {"POST", "api/sessions/:/report", &Desk::writeReport},
    };
    const auto parts = segments(request.path);
    bool pathMatched = false;
    for (const auto& entry : routes) {
        const auto pattern = segments(entry.pattern);
        std::vector<std::string> captured;
        bool matched = true;
        std::size_t i = 0;
        for (; i < pattern.size() && matched; ++i) {
            if (pattern[i] == "*") {
                std::string rest;
                for (std::size_t j = i; j < parts.size(); ++j) rest += (j > i ? "/" : "") + parts[j];
                captured.push_back(rest);
                i = parts.size();
                break;
            }
            if (i >= parts.size()) matched = false;
            else if (pattern[i] == ":") {
                if (!isID(parts[i])) return errorResponse(404, "No such item.");
                captured.push_back(parts[i]);
            } else if (pattern[i] != parts[i]) matched = false;
        }
        if (!matched || i != parts.size()) continue;
        pathMatched = true;
        if (request.method != entry.method && !(request.method == "HEAD" && std::string(entry.method) == "GET"))
            continue;
        try {
            return (this->*entry.route)(request, captured);
        } catch (const std::exception& error) {
            const int status = statusOf(error);
            const std::string message = describeError(error);
            if (status == 500) {
                std::lock_guard lock(logMutex_);
                log_ << "error: " << message << std::endl;
            }
            return errorResponse(status, message);
        }
    }
    if (pathMatched) return errorResponse(405, "This address does not take " + request.method + " requests.");
    return errorResponse(404, "No such item.");
}

HttpResponse Desk::page(const HttpRequest& request, const std::vector<std::string>&) {
    if (request.parameter("token")) {
        // Swap the token in the address for a cookie, so it leaves the address bar and history.
        HttpResponse response;
        response.status = 303;
        response.headers.emplace_back("Location", "/");
        response.headers.emplace_back("Set-Cookie",
                                      std::string(cookieName) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
        return response;
    }
    return asset(request, {"index.html"});
}

HttpResponse Desk::asset(const HttpRequest&, const std::vector<std::string>& ids) {
    for (const auto& file : embeddedAssets()) {
        if (file.name != ids.at(0)) continue;
        HttpResponse response;
        response.contentType = contentTypeOf(file.name);
        response.body = std::string(file.bytes);
        return response;
    }
    throw HttpRefusal(404, "No such item.");
}

HttpResponse Desk::jobStatus(const HttpRequest&, const std::vector<std::string>& ids) {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(ids.at(0));
    if (it == jobs_.end()) throw HttpRefusal(404, "No such job.");
    const DeskJob& job = *it->second;
    json::Value out = {{"id", job.id}, {"kind", job.kind}, {"state", job.state}, {"stage", job.stage}};
    out["elapsed"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - job.started).count();
    if (!job.message.empty()) out["error"] = job.message;
    if (!job.result.is_null()) out["result"] = job.result;
    return jsonResponse(out);
}

std::string Desk::startJob(const std::string& kind, std::function<json::Value(DeskJob&)> work) {
    auto job = std::make_shared<DeskJob>();
    job->id = randomHex(8);
    job->kind = kind;
    std::lock_guard lock(mutex_);
    jobs_[job->id] = job;
    threads_.emplace_back([this, job, work = std::move(work)] {
        json::Value result;
        std::string failure;
        try {
            result = work(*job);
        } catch (const std::exception& error) {
            failure = describeError(error);
        }
        std::lock_guard lock(mutex_);
        job->result = std::move(result);
        job->message = failure;
        job->state = failure.empty() ? "done" : "error";
        job->stage.clear();
    });
    return job->id;
}

HttpResponse Desk::startRescan(const HttpRequest&, const std::vector<std::string>&) {
    const std::string id = startJob("rescan", [this](DeskJob& job) {
        {
            std::lock_guard lock(mutex_);
            job.stage = "Looking for sessions and analysing new photos";
        }
        discover();
        return json::Value::object();
    });
    return jsonResponse({{"job", id}}, 202);
}

std::mutex& Desk::saveMutex(const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    auto& slot = saveMutexes_[sessionID];
    if (!slot) slot = std::make_unique<std::mutex>();
    return *slot;
}

DeskServer::DeskServer(Desk& desk) : desk_(desk) {}

DeskServer::~DeskServer() { stop(); }

int DeskServer::start(const std::string& host, std::optional<int> port) {
    server_ = std::make_unique<platform::HttpServer>([this](const HttpRequest& r) { return desk_.handle(r); },
                                                     Desk::maxBodyBytes);
    std::optional<int> bound;
    if (port) {
        bound = server_->bind(host, *port);
    } else {
        for (int candidate = firstPort; candidate < firstPort + 100 && !bound; ++candidate)
            bound = server_->bind(host, candidate);
    }
    if (!bound)
        throw PoseError::invalidInput("Cannot listen on " + host + (port ? ":" + std::to_string(*port) : "") +
                                      "; the address is in use or not on this machine.");
    desk_.setAddress(host, *bound);
    thread_ = std::thread([this] { server_->run(); });
    return *bound;
}

void DeskServer::stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    desk_.finishJobs();
}

}  // namespace torvane::desk
