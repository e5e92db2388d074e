// The JSON API: sessions, frames and the decisions made on them. Every rule runs in the
// library; these handlers look things up by id, call it, and describe what it answers.
#include <algorithm>
#include <cmath>

#include "Desk.h"
#include "DeskHttp.h"
#include "Torvane/ContentHash.h"
#include "Torvane/DetectionRetry.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/ReviewEditing.h"
#include "Torvane/SessionReport.h"
#include "Torvane/platform/DisplayImage.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/Raster.h"

namespace torvane::desk {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void notFound(const std::string& what) { throw HttpRefusal(404, what); }

json::Value pointJson(const std::optional<Point2>& p) {
    if (!p) return nullptr;
    return {{"x", p->x}, {"y", p->y}};
}

std::string spaced(std::string_view name) {
    std::string out(name);
    std::replace(out.begin(), out.end(), '_', ' ');
    return out;
}

std::string statusOf(const std::optional<PoseResult>& result) { return result ? result->status : "unavailable"; }

// What a reviewer should know about a rider's detection, if anything.
std::string detectionMessage(const ReviewFrame& frame) {
    for (const auto* result : {&frame.raw2D, &frame.raw3D})
        if (*result && (*result)->status != PoseStatus::needsReview && (*result)->message)
            return *(*result)->message;
    return {};
}

// A rider is reviewed when every joint the 2-D proposal shows has a decision, or, without
// any proposal, when at least one joint was placed or judged.
bool riderReviewed(const ReviewFrame& frame) {
    bool anyProposal = false;
    for (auto name : jointNames) {
        if (!frame.seedPoint(name, PoseKind::twoD)) continue;
        anyProposal = true;
        if (!frame.edits.count(std::string(name))) return false;
    }
    return anyProposal || !frame.edits.empty();
}

std::string imageURL(const std::string& session, const ReviewFrame& frame, const std::string& size) {
    return "/api/sessions/" + session + "/frames/" + frame.id + "/image?size=" + size + "&v=" +
           frame.sourceHash.substr(0, 16);
}

const ReviewFrame& frameIn(const ReviewDocument& document, const std::string& id) {
    if (const ReviewFrame* frame = document.frame(id)) return *frame;
    notFound("No such rider.");
}

PixelRect parseCrop(const json::Value& value) {
    if (!value.is_object()) throw PoseError::invalidInput("Draw a crop rectangle on the photo first.");
    return json::decode<PixelRect>(value);
}

}  // namespace

DeskSession Desk::session(const std::string& id) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : sessions_)
        if (s.id == id) return s;
    notFound("No such session.");
}

ReviewDocument Desk::freshDocument(const DeskSession& session) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = fresh_.find(session.id); it != fresh_.end()) return it->second;
    }
    ReviewDocument document = ReviewStore::make(session.manifestURL, session.resultsURL);
    std::lock_guard lock(mutex_);
    fresh_[session.id] = document;
    return document;
}

ReviewDocument Desk::document(const DeskSession& session, bool& saved) {
    const fs::path path = ReviewStore::documentPath(session.resultsURL);
    saved = platform::entryExists(path);
    if (!saved) return freshDocument(session);
    // A save replaces the file (a new modification time and usually size), so an unchanged
    // stamp means the loaded document is still what is on disk.
    std::error_code error;
    const auto time = fs::last_write_time(path, error);
    const auto size = error ? 0 : fs::file_size(path, error);
    const std::string stamp =
        error ? std::string() : std::to_string(time.time_since_epoch().count()) + "/" + std::to_string(size);
    if (!stamp.empty()) {
        std::lock_guard lock(mutex_);
        if (auto it = loaded_.find(session.id); it != loaded_.end() && it->second.first == stamp) return it->second.second;
    }
    ReviewDocument document = ReviewStore::load(path);
    if (!stamp.empty()) {
        std::lock_guard lock(mutex_);
        loaded_[session.id] = {stamp, document};
    }
    return document;
}

json::Value Desk::sessionSummary(const DeskSession& session) {
    json::Value out = {{"id", session.id}, {"title", session.title}, {"folder", session.folderName}};
    try {
        bool saved = false;
        const ReviewDocument doc = document(session, saved);
        std::size_t reviewed = 0, decided = 0;
        for (const auto& frame : doc.frames) {
            reviewed += riderReviewed(frame) ? 1 : 0;
            decided += frame.edits.size();
        }
        out["riders"] = doc.frames.size();
        out["reviewedRiders"] = reviewed;
        out["decidedJoints"] = decided;
        out["revision"] = doc.revision;
        out["saved"] = saved;
    } catch (const std::exception& error) {
        out["problem"] = describeError(error);
    }
    return out;
}

HttpResponse Desk::listSessions(const HttpRequest&, const std::vector<std::string>&) {
    std::vector<DeskSession> sessions;
    std::vector<SessionDiscoveryFailure> failures;
    {
        std::lock_guard lock(mutex_);
        sessions = sessions_;
        failures = failures_;
    }
    json::Value out = {{"sessions", json::Value::array()}, {"problems", json::Value::array()}};
    for (const auto& s : sessions) out["sessions"].push_back(sessionSummary(s));
    for (const auto& f : failures)
        out["problems"].push_back({{"folder", f.folderURL.filename().string()}, {"message", f.message}});
    return jsonResponse(out);
}

HttpResponse Desk::sessionDetail(const HttpRequest&, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    json::Value out = sessionSummary(s);
    out["frames"] = json::Value::array();
    out["index"] = "/api/sessions/" + s.id + "/run/index.html";
    if (out.contains("problem")) {
        // The document cannot be made: show what the results file says about each rider.
        try {
            auto report = json::decodeText<FeasibilityReport>(platform::readFile(s.resultsURL));
            for (const auto& crop : report.crops) {
                json::Value f = {{"id", crop.pairID + "-" + crop.role}, {"pairID", crop.pairID}, {"role", crop.role},
                                 {"rider", crop.rider}, {"status2D", statusOf(crop.twoD)},
                                 {"status3D", statusOf(crop.threeD)}, {"reviewable", false}};
                if (crop.error) f["message"] = *crop.error;
                out["frames"].push_back(f);
            }
        } catch (const std::exception&) {
        }
        return jsonResponse(out);
    }
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    for (const auto& frame : doc.frames) {
        json::Value f = {{"id", frame.id},
                         {"pairID", frame.pairID},
                         {"role", frame.role},
                         {"rider", frame.rider},
                         {"status2D", statusOf(frame.raw2D)},
                         {"status3D", statusOf(frame.raw3D)},
                         {"reviewed", riderReviewed(frame)},
                         {"decidedJoints", frame.edits.size()},
                         {"retries", frame.retries ? frame.retries->size() : 0},
                         {"reviewable", true},
                         {"thumbnail", imageURL(s.id, frame, "thumb")}};
        f["pictures"] = {{"2D", "/api/sessions/" + s.id + "/run/" + frame.id + "-2D.png"},
                         {"3D", "/api/sessions/" + s.id + "/run/" + frame.id + "-3D.png"}};
        if (auto message = detectionMessage(frame); !message.empty()) f["message"] = message;
        out["frames"].push_back(f);
    }
    return jsonResponse(out);
}

json::Value Desk::frameJson(const DeskSession& session, const ReviewDocument& document, const ReviewFrame& frame,
                            bool saved) const {
    json::Value out = {{"id", frame.id},       {"pairID", frame.pairID},   {"role", frame.role},
                       {"rider", frame.rider}, {"session", session.id},    {"sessionTitle", session.title},
                       {"revision", document.revision}, {"saved", saved}, {"sourceHash", frame.sourceHash}};
    out["panel"] = json::encode(frame.panel);
    out["status"] = {{"2D", statusOf(frame.raw2D)}, {"3D", statusOf(frame.raw3D)}};
    out["message"] = detectionMessage(frame);
    out["reviewed"] = riderReviewed(frame);
    if (auto header = platform::readImageHeader(ReviewStore::assetURL(frame.file, session.manifestURL))) {
        const bool swapped = header->orientation >= 5 && header->orientation <= 8;
        out["photo"] = {{"width", swapped ? header->storedHeight : header->storedWidth},
                        {"height", swapped ? header->storedWidth : header->storedHeight}};
    }
    out["images"] = {{"display", imageURL(session.id, frame, "display")},
                     {"panel", imageURL(session.id, frame, "panel")}};
    out["pictures"] = {{"2D", "/api/sessions/" + session.id + "/run/" + frame.id + "-2D.png"},
                       {"3D", "/api/sessions/" + session.id + "/run/" + frame.id + "-3D.png"}};

    json::Value joints = json::Value::array();
    for (std::size_t i = 0; i < jointNames.size(); ++i) {
        const std::string name(jointNames[i]);
        json::Value joint = {{"name", name}, {"number", i + 1}, {"label", spaced(name)}};
        if (auto it = frame.edits.find(name); it != frame.edits.end()) {
            joint["state"] = enumName(it->second.state);
            joint["stateLabel"] = label(it->second.state);
        }
        joint["reviewed"] = pointJson(frame.reviewedPoint(name));
        for (auto kind : {PoseKind::twoD, PoseKind::threeD}) {
            joint["points"][std::string(kind)] = {{"raw", pointJson(frame.rawPoint(name, kind))},
                                                  {"seed", pointJson(frame.seedPoint(name, kind))},
                                                  {"display", pointJson(frame.displayPoint(name, kind))}};
        }
        joints.push_back(joint);
    }
    out["joints"] = joints;
    json::Value bones = json::Value::array();
    for (const auto& [a, b] : InspectionRenderer::bones) bones.push_back({a, b});
    out["bones"] = bones;
    json::Value states = json::Value::array();
    for (auto state : {JointReviewState::corrected, JointReviewState::confirmed, JointReviewState::occluded,
                       JointReviewState::uncertain})
        states.push_back({{"state", enumName(state)}, {"label", label(state)}});
    out["states"] = states;

    json::Value retries = json::Value::array();
    if (frame.retries)
        for (const auto& retry : *frame.retries)
            retries.push_back({{"crop", json::encode(retry.crop)}, {"status2D", statusOf(retry.twoD)},
                               {"status3D", statusOf(retry.threeD)}, {"timestamp", retry.timestamp}});
    out["retries"] = retries;
    if (auto change = ReviewEditing::undoable(frame))
        out["undo"] = {{"joint", change->joint}, {"label", spaced(change->joint)}};
    else
        out["undo"] = nullptr;

    for (std::size_t i = 0; i < document.frames.size(); ++i) {
        if (document.frames[i].id != frame.id) continue;
        out["previous"] = i > 0 ? json::Value(document.frames[i - 1].id) : json::Value();
        out["next"] = i + 1 < document.frames.size() ? json::Value(document.frames[i + 1].id) : json::Value();
    }
    return out;
}

HttpResponse Desk::frameDetail(const HttpRequest&, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    return jsonResponse(frameJson(s, doc, frameIn(doc, ids.at(1)), saved));
}

std::variant<ReviewDocument, HttpResponse> Desk::saveChange(
    const DeskSession& s, const json::Value& body, const std::string& latestKey,
    const std::function<void(ReviewDocument&)>& change,
    const std::function<json::Value(const ReviewDocument&, bool)>& latestView) {
    const auto seen = [&]() -> std::optional<std::int64_t> {
        auto it = body.find("revision");
        if (it == body.end() || it->is_null()) return std::nullopt;
        if (!it->is_number_integer()) throw PoseError::invalidInput("revision must be a whole number.");
        return it->get<std::int64_t>();
    }();
    const fs::path path = ReviewStore::documentPath(s.resultsURL);
    // Saves of one session from this desk queue here; other processes meet the store's lock.
    std::lock_guard lock(saveMutex(s.id));
    try {
        return ReviewEditing::update(path, change, [&] { return ReviewStore::make(s.manifestURL, s.resultsURL); },
                                     seen);
    } catch (const PoseError& error) {
        if (error.code() != PoseErrorCode::conflict && error.code() != PoseErrorCode::moved) throw;
        // The page shows the store's message with what is on disk now.
        json::Value extra = json::Value::object();
        try {
            bool isSaved = false;
            const ReviewDocument latest = document(s, isSaved);
            extra[latestKey] = latestView(latest, isSaved);
        } catch (const std::exception&) {
        }
        return errorResponse(409, error.message(), extra);
    }
}

HttpResponse Desk::changeFrame(const DeskSession& s, const std::string& frameID, const json::Value& body,
                               const std::function<json::Value(ReviewFrame&)>& change) {
    json::Value outcome;
    auto result = saveChange(
        s, body, "frame",
        [&](ReviewDocument& document) {
            ReviewFrame* frame = document.frame(frameID);
            if (!frame) notFound("No such rider.");
            outcome = change(*frame);
        },
        [&](const ReviewDocument& latest, bool saved) { return frameJson(s, latest, frameIn(latest, frameID), saved); });
    if (auto* refused = std::get_if<HttpResponse>(&result)) return *refused;
    const auto& saved = std::get<ReviewDocument>(result);
    json::Value out = frameJson(s, saved, frameIn(saved, frameID), true);
    out["change"] = outcome;
    return jsonResponse(out);
}

HttpResponse Desk::decideJoint(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = json::parse(request.body);
    if (!body.is_object()) throw PoseError::invalidInput("The request body must be a JSON object.");
    const std::string joint = ReviewEditing::jointName(body.value("joint", std::string()));
    const auto state = enumValue<JointReviewState>(body.value("state", std::string()));
    if (!state) throw PoseError::invalidInput("state must be corrected, confirmed, occluded or uncertain.");
    std::optional<Point2> point;
    if (body.contains("point") && !body["point"].is_null()) point = json::decode<Point2>(body["point"]);
    const std::string kind = body.value("kind", std::string(PoseKind::twoD));
    if (kind != PoseKind::twoD && kind != PoseKind::threeD) throw PoseError::invalidInput("kind must be 2D or 3D.");
    return changeFrame(s, ids.at(1), body, [&](ReviewFrame& frame) {
        ReviewEditing::decide(frame, joint, point, *state, kind);
        return json::Value{{"joint", joint}, {"state", enumName(*state)}};
    });
}

HttpResponse Desk::undoJoint(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = json::parse(request.body);
    if (!body.is_object()) throw PoseError::invalidInput("The request body must be a JSON object.");
    return changeFrame(s, ids.at(1), body, [](ReviewFrame& frame) {
        const JointChange undone = ReviewEditing::undo(frame);
        return json::Value{{"joint", undone.joint}, {"undone", true}};
    });
}

HttpResponse Desk::startRetry(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = json::parse(request.body);
    if (!body.is_object()) throw PoseError::invalidInput("The request body must be a JSON object.");
    const PixelRect crop = parseCrop(body.value("crop", json::Value()));
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    const ReviewFrame frame = frameIn(doc, ids.at(1));
    if (!frame.contains({crop.x, crop.y}) || crop.width < 8 || crop.height < 8)
        throw PoseError::invalidInput("Draw the crop around the rider inside the photo's panel.");
    const RetryRequest retry{ReviewStore::assetURL(frame.file, s.manifestURL), frame.sourceHash, crop};
    const std::string frameID = frame.id;
    const std::string id = startJob("retry", [this, s, retry, frameID, body](DeskJob& job) {
        {
            std::lock_guard lock(mutex_);
            job.stage = "Waiting for the detector";
        }
        DetectionRetry result;
        {
            std::lock_guard detector(detectorMutex_);
            {
                std::lock_guard lock(mutex_);
                job.stage = "Running both detectors on the new crop";
            }
            result = retry.run();
        }
        {
            std::lock_guard lock(mutex_);
            job.stage = "Saving the new proposal";
        }
        HttpResponse saved = changeFrame(s, frameID, body, [&](ReviewFrame& frame) {
            frame.addRetry(result);
            return json::Value{{"status2D", statusOf(result.twoD)}, {"status3D", statusOf(result.threeD)}};
        });
        if (saved.status != 200) throw PoseError::invalidInput(json::parse(saved.body).value("error", "Save failed."));
        return json::parse(saved.body);
    });
    return jsonResponse({{"job", id}}, 202);
}

HttpResponse Desk::runFile(const HttpRequest&, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const std::string& name = ids.at(1);
    const bool report = name.rfind(SessionReport::prefix, 0) == 0 && name.size() > 5 &&
                        name.compare(name.size() - 5, 5, ".html") == 0;
    bool allowed = name == "index.html" || report;
    if (!allowed) {
        bool saved = false;
        const ReviewDocument doc = document(s, saved);
        for (const auto& frame : doc.frames)
            allowed = allowed || name == frame.id + "-2D.png" || name == frame.id + "-3D.png";
    }
    if (!allowed) notFound("No such picture.");
    const fs::path file = s.resultsURL.parent_path() / name;
    if (!platform::entryExists(file)) notFound("No such picture.");
    HttpResponse response;
    response.contentType = name == "index.html" || report ? "text/html; charset=utf-8" : "image/png";
    // The report is one self-contained page: its own styles, the run's pictures, no scripts.
    if (report)
        response.headers.emplace_back("Content-Security-Policy",
                                      "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
    response.body = platform::readFile(file);
    return response;
}

HttpResponse Desk::frameImage(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const std::string size = request.parameter("size").value_or("display");
    if (size != "display" && size != "panel" && size != "thumb") throw PoseError::invalidInput("Unknown image size.");
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    const ReviewFrame& frame = frameIn(doc, ids.at(1));
    const std::string key = frame.sourceHash + "-" + size + "-" + json::encode(frame.panel).dump();
    const std::string etag = "\"" + contentHash(key).substr(0, 24) + "\"";
    HttpResponse response;
    response.headers.emplace_back("ETag", etag);
    response.headers.emplace_back("Cache-Control", "private, max-age=86400");
    if (request.header("if-none-match") == etag) {
        response.status = 304;
        return response;
    }
    std::shared_ptr<const std::string> bytes;
    {
        std::lock_guard lock(mutex_);
        if (auto it = images_.find(key); it != images_.end()) bytes = it->second;
    }
    if (!bytes) {
        const fs::path photo = ReviewStore::assetURL(frame.file, s.manifestURL);
        if (contentHashOfFile(photo) != frame.sourceHash)
            throw PoseError::invalidInput("Source image changed: " + frame.pairID + " " + frame.role + ".");
        std::optional<platform::ImageRegion> region;
        const auto& p = frame.panel;
        if (size != "display")
            region = platform::ImageRegion{static_cast<int>(std::floor(p.x)), static_cast<int>(std::floor(p.y)),
                                           static_cast<int>(std::ceil(p.width)), static_cast<int>(std::ceil(p.height))};
        const int side = size == "display" ? displaySide : size == "panel" ? panelSide : thumbSide;
        auto jpeg = platform::displayJPEG(photo, side, region, size == "thumb" ? 75 : 85);
        if (!jpeg) throw PoseError::invalidInput("Unreadable image or exceeds 40 megapixel limit.");
        bytes = std::make_shared<const std::string>(std::move(*jpeg));
        std::lock_guard lock(mutex_);
        if (images_.emplace(key, bytes).second) {
            imageOrder_.push_back(key);
            imageBytes_ += bytes->size();
        }
        // Keep the newest pictures within a fixed budget.
        constexpr std::size_t budget = 96u << 20;
        while (imageBytes_ > budget && imageOrder_.size() > 1) {
            auto old = images_.find(imageOrder_.front());
            imageBytes_ -= old->second->size();
            images_.erase(old);
            imageOrder_.erase(imageOrder_.begin());
        }
    }
    response.contentType = "image/jpeg";
    response.body = *bytes;
    return response;
}

}  // namespace torvane::desk
