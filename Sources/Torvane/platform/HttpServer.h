// A small HTTP/1.1 server and client over the platform's HTTP library. Callers see plain
// request and response values; routing and every policy live with the caller.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace torvane::platform {

struct HttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // decoded, without the query
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  // names in lower case; the first value of each
    std::string body;

    // The header's value, or "" when absent (`name` in lower case).
    std::string header(const std::string& name) const;
    std::optional<std::string> parameter(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// Serves every request of every method through one handler, from a pool of threads, so the
// handler must be safe to call concurrently. Bodies above `maxBody` bytes are refused with
// 413 before the handler sees them.
class HttpServer {
public:
    HttpServer(HttpHandler handler, std::size_t maxBody);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds to host:port (port 0: the system picks) and returns the bound port, or nullopt
    // when the address is taken or cannot be bound.
    std::optional<int> bind(const std::string& host, int port);
    // Accepts connections until stop(); requests in progress finish before it returns.
    void run();
    // Safe from any thread, also before run() started.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct HttpClientResponse {
    int status = 0;  // 0 when no answer came
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One request to host:port; `headers` are sent as given (a Host header replaces the default).
HttpClientResponse httpRequest(const std::string& host, int port, const std::string& method, const std::string& target,
                               const std::vector<std::pair<std::string, std::string>>& headers = {},
                               const std::string& body = {}, const std::string& contentType = {});

// Blocks SIGINT and SIGTERM for the calling thread and every thread it starts later, so that
// waitForTermination() can take them synchronously. Call before starting any thread.
void blockTerminationSignals();
// Waits for SIGINT or SIGTERM (blocked beforehand) and returns its number.
int waitForTermination();

}  // namespace torvane::platform
