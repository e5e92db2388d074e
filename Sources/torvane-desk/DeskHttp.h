// Small pieces the desk's handlers share.
#pragma once

#include <stdexcept>
#include <string>

#include "Torvane/Json.h"
#include "Torvane/platform/HttpServer.h"

namespace torvane::desk {

// A refusal that is the request's fault, with its HTTP status (404 for unknown ids).
struct HttpRefusal : std::runtime_error {
    int status;
    HttpRefusal(int status, const std::string& message) : std::runtime_error(message), status(status) {}
};

inline platform::HttpResponse jsonResponse(const json::Value& value, int status = 200) {
    platform::HttpResponse response;
    response.status = status;
    response.contentType = "application/json; charset=utf-8";
    response.body = value.dump();
    return response;
}

inline platform::HttpResponse errorResponse(int status, const std::string& message,
                                            json::Value extra = json::Value::object()) {
    extra["error"] = message;
    return jsonResponse(extra, status);
}

}  // namespace torvane::desk
