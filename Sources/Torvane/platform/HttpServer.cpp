#include "Torvane/platform/HttpServer.h"

#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <cctype>

namespace torvane::platform {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::map<std::string, std::string> lowerHeaders(const httplib::Headers& headers) {
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : headers) out.emplace(lower(name), value);  // keeps the first
    return out;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

std::optional<std::string> HttpRequest::parameter(const std::string& name) const {
    auto it = query.find(name);
    if (it == query.end()) return std::nullopt;
    return it->second;
}

struct HttpServer::Impl {
    httplib::Server server;
    HttpHandler handler;
};

HttpServer::HttpServer(HttpHandler handler, std::size_t maxBody) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->server.set_payload_max_length(maxBody);
    impl_->server.set_keep_alive_max_count(100);
    auto serve = [this](const httplib::Request& in, httplib::Response& out) {
        HttpRequest request;
        request.method = in.method;
        request.path = in.path;
        for (const auto& [name, value] : in.params) request.query.emplace(name, value);
        request.headers = lowerHeaders(in.headers);
        request.body = in.body;
        HttpResponse response = impl_->handler(request);
        out.status = response.status;
        for (const auto& [name, value] : response.headers) out.set_header(name, value);
        out.set_content(std::move(response.body), response.contentType);
    };
    const std::string any = ".*";
    impl_->server.Get(any, serve);
    impl_->server.Post(any, serve);
    impl_->server.Put(any, serve);
    impl_->server.Delete(any, serve);
    impl_->server.Patch(any, serve);
    impl_->server.Options(any, serve);
}

HttpServer::~HttpServer() { stop(); }

std::optional<int> HttpServer::bind(const std::string& host, int port) {
    if (port == 0) {
        int bound = impl_->server.bind_to_any_port(host);
        if (bound <= 0) return std::nullopt;
        return bound;
    }
    if (!impl_->server.bind_to_port(host, port)) return std::nullopt;
    return port;
}

void HttpServer::run() { impl_->server.listen_after_bind(); }

void HttpServer::stop() { impl_->server.stop(); }

HttpClientResponse httpRequest(const std::string& host, int port, const std::string& method, const std::string& target,
                               const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
                               const std::string& contentType) {
    httplib::Client client(host, port);
    client.set_read_timeout(std::chrono::seconds(300));
    httplib::Request request;
    request.method = method;
    request.path = target;
    for (const auto& [name, value] : headers) request.headers.emplace(name, value);
    if (!contentType.empty()) request.headers.emplace("Content-Type", contentType);
    request.body = body;
    HttpClientResponse out;
    auto result = client.send(request);
    if (!result) return out;
    out.status = result->status;
    out.headers = lowerHeaders(result->headers);
    out.body = result->body;
    return out;
}

void blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForTermination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

}  // namespace torvane::platform
