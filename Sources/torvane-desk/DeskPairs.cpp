// The pair view's API: a pair's comparison context, its analysis, the wheel-lean lines and
// their approval, imported photo coaching, the photo's checklist and the session report.
// Every decision is one library operation saved through the store like a joint decision.
#include <algorithm>

#include "Desk.h"
#include "DeskHttp.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/ProvisionalCoaching.h"
#include "Torvane/ReviewDecisions.h"
#include "Torvane/SessionReport.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane::desk {

namespace {

namespace fs = std::filesystem;

json::Value objectBody(const HttpRequest& request) {
    json::Value body = json::parse(request.body);
    if (!body.is_object()) throw PoseError::invalidInput("The request body must be a JSON object.");
    return body;
}

template <class E>
json::Value choices() {
    json::Value out = json::Value::array();
    for (E value : allCases<E>()) {
        json::Value entry = {{"value", enumName(value)}};
        if constexpr (requires { label(value); }) entry["label"] = std::string(label(value));
        out.push_back(entry);
    }
    return out;
}

json::Value bulletJson(const CoachingBullet& bullet) {
    json::Value out = {{"id", bullet.id()}, {"title", bullet.title}, {"detail", bullet.detail},
                       {"provenance", bullet.provenance}, {"version", bullet.version}};
    if (bullet.feature) out["feature"] = enumName(*bullet.feature);
    return out;
}

json::Value analysisJson(const ReviewDocument& document, const ReviewPair& pair) {
    try {
        const PairReport report = PairAnalysis::analyze(document, pair);
        json::Value observations = json::Value::array();
        for (const auto& o : report.observations) {
            json::Value entry = json::encode(o);
            entry["label"] = label(o.feature);
            observations.push_back(entry);
        }
        json::Value coaching = json::Value::array();
        for (const auto& bullet : report.coaching()) coaching.push_back(bulletJson(bullet));
        json::Value knees = json::Value::array();
        for (PairFeature knee : report.unobservableKnees) knees.push_back(enumName(knee));
        return {{"observations", observations},
                {"focus", json::encode(report.focus)},
                {"coaching", coaching},
                {"effectiveCornerDirection", enumName(report.effectiveCornerDirection())},
                {"hasPhotoCoaching", report.hasPhotoCoaching()},
                {"limitations", PairReport::limitations},
                {"analyzerVersion", report.analyzerVersion},
                {"catalogVersion", report.catalogVersion},
                {"activeRuleCount", report.activeRuleCount},
                {"unobservableKnees", knees}};
    } catch (const std::exception& error) {
        return {{"error", describeError(error)}};
    }
}

json::Value leanJson(const ReviewDocument& document, const ReviewPair& pair) {
    json::Value frames = json::Value::object();
    for (const auto& id : pair.frameIDs()) {
        json::Value entry = {{"annotation", nullptr}, {"measurement", nullptr}};
        if (auto it = document.leanAnnotations.find(id); it != document.leanAnnotations.end()) {
            entry["annotation"] = json::encode(it->second);
            if (auto m = LeanAnalysis::measure(it->second)) entry["measurement"] = json::encode(*m);
        }
        frames[id] = entry;
    }
    json::Value out = {{"frames", frames}, {"limitations", LeanAnalysis::limitations},
                       {"bases", choices<LeanBasis>()}, {"states", choices<LeanState>()}, {"context", nullptr}};
    if (!pair.referenceID) return out;
    if (auto it = document.leanContexts.find(pair.id); it != document.leanContexts.end())
        out["context"] = json::encode(it->second);
    try {
        const std::string digest = LeanAnalysis::evidenceDigest(document, pair);
        out["approved"] = out["context"].is_object() && out["context"].value("approvalDigest", "") == digest;
    } catch (const std::exception& error) {
        out["approved"] = false;
        out["approvalUnavailable"] = describeError(error);
    }
    try {
        out["comparison"] = json::encode(LeanAnalysis::compare(document, pair));
    } catch (const std::exception& error) {
        out["comparison"] = {{"summary", describeError(error)}};
    }
    return out;
}

json::Value checklistJson(const fs::path& documentPath, const ReviewDocument& document, const ReviewFrame& subject) {
    json::Value out = {{"frameID", subject.id}, {"statuses", choices<CoachingReviewStatus>()},
                       {"catalogVersion", CoachingChecklist::version}};
    std::optional<CoachingChecklistReview> review;
    try {
        auto saved = ChecklistStore::load(ChecklistStore::path(documentPath), document.frames);
        if (auto it = saved.find(subject.id); it != saved.end()) review = it->second;
    } catch (const std::exception& error) {
        out["problem"] = describeError(error);
    }
    out["version"] = ChecklistStore::version(review);
    out["saved"] = review.has_value();
    const CoachingChecklistReview shown = review.value_or(CoachingChecklistReview(subject));
    out["provenance"] = shown.provenance;
    out["cornerDirection"] = enumName(shown.cornerDirection);
    json::Value rows = json::Value::array();
    for (const auto& item : CoachingChecklist::rows(review))
        rows.push_back({{"topic", enumName(item.topic)}, {"title", title(item.topic)}, {"cue", cue(item.topic)},
                        {"status", enumName(item.status)}, {"statusLabel", label(item.status)},
                        {"observation", item.observation}});
    out["rows"] = rows;
    return out;
}

// The single-photo coaching of an unpaired subject photo, with the version an import names.
json::Value singleCoachingJson(const fs::path& documentPath, const ReviewDocument& document, const ReviewFrame& subject) {
    const fs::path path = SinglePhotoCoachingStore::path(documentPath);
    json::Value out = {{"frameID", subject.id}, {"coaching", nullptr}};
    try {
        out["version"] = SinglePhotoCoachingStore::version(path);
        auto saved = SinglePhotoCoachingStore::load(path, document.frames);
        if (auto it = saved.find(subject.id); it != saved.end()) out["coaching"] = json::encode(it->second);
    } catch (const std::exception& error) {
        out["problem"] = describeError(error);
    }
    return out;
}

}  // namespace

json::Value Desk::pairJson(const DeskSession& s, const ReviewDocument& document, const ReviewPair& pair,
                           bool saved) {
    json::Value out = {{"session", s.id}, {"sessionTitle", s.title}, {"pair", json::encode(pair)},
                       {"revision", document.revision}, {"saved", saved}};
    json::Value frames = json::Value::array();
    for (const auto& id : pair.frameIDs()) {
        const ReviewFrame* frame = document.frame(id);
        if (!frame) continue;
        json::Value f = frameJson(s, document, *frame, saved);
        // The pair view needs the reviewed skeleton and the photo, not the whole review.
        json::Value joints = json::Value::array();
        for (const auto& j : f["joints"])
            joints.push_back({{"name", j["name"]}, {"number", j["number"]}, {"reviewed", j["reviewed"]},
                              {"state", j.value("state", "")}});
        frames.push_back({{"id", f["id"]}, {"role", f["role"]}, {"rider", f["rider"]}, {"panel", f["panel"]},
                          {"photo", f.value("photo", json::Value())}, {"images", f["images"]},
                          {"sourceHash", f["sourceHash"]},
                          {"joints", joints}, {"bones", f["bones"]}});
    }
    out["frames"] = frames;

    json::Value features = json::Value::array();
    for (PairFeature feature : allCases<PairFeature>()) {
        json::Value names = json::Value::array();
        for (auto joint : joints(feature)) names.push_back(std::string(joint));
        features.push_back({{"value", enumName(feature)}, {"label", label(feature)}, {"joints", names}});
    }
    out["choices"] = {{"features", features},
                      {"cornerDirections", choices<CornerDirection>()},
                      {"comparability", choices<ViewComparability>()},
                      {"kneePlacement", choices<KneePlacement>()}};

    if (pair.referenceID) {
        json::Value context = {{"stored", false}};
        try {
            const PairContext current = ReviewDecisions::context(document, pair);
            context["stored"] = std::any_of(document.comparisonContexts.begin(), document.comparisonContexts.end(),
                                            [&](const PairContext& c) { return c.pairID == pair.id; });
            context["decisions"] = json::encode(current);
            if (auto stale = ReviewDecisions::staleness(document, current); stale && context["stored"].get<bool>()) {
                context["stale"] = *stale;
                context["fresh"] = json::encode(PairContext(document, pair));
            }
        } catch (const std::exception& error) {
            context["error"] = describeError(error);
        }
        out["context"] = context;
        out["analysis"] = analysisJson(document, pair);
    } else {
        out["context"] = nullptr;
        out["analysis"] = {{"error", "This photo has no reference."}};
    }
    out["lean"] = leanJson(document, pair);
    const fs::path documentPath = ReviewStore::documentPath(s.resultsURL);
    if (const ReviewFrame* subject = document.frame(pair.subjectID)) {
        out["checklist"] = checklistJson(documentPath, document, *subject);
        if (!pair.referenceID) out["singleCoaching"] = singleCoachingJson(documentPath, document, *subject);
    }
    return out;
}

ReviewPair Desk::pairIn(const ReviewDocument& document, const std::string& id) {
    for (auto& pair : PairReview::resolve(document.frames))
        if (pair.id == id) return pair;
    throw HttpRefusal(404, "No such pair.");
}

HttpResponse Desk::pairDetail(const HttpRequest&, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    return jsonResponse(pairJson(s, doc, pairIn(doc, ids.at(1)), saved));
}

HttpResponse Desk::changePair(const DeskSession& s, const std::string& pairID, const json::Value& body,
                              const std::function<ReviewDocument(const ReviewDocument&)>& change) {
    auto result = saveChange(
        s, body, "pairView", [&](ReviewDocument& document) { document = change(document); },
        [&](const ReviewDocument& latest, bool saved) { return pairJson(s, latest, pairIn(latest, pairID), saved); });
    if (auto* refused = std::get_if<HttpResponse>(&result)) return *refused;
    const auto& saved = std::get<ReviewDocument>(result);
    return jsonResponse(pairJson(s, saved, pairIn(saved, pairID), true));
}

HttpResponse Desk::decidePairContext(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    const auto edit = json::decode<PairContextEdit>(body.value("edit", json::Value::object()));
    return changePair(s, ids.at(1), body, [&](const ReviewDocument& d) {
        return ReviewDecisions::setPairContext(d, ids.at(1), edit);
    });
}

HttpResponse Desk::renewPairContext(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    return changePair(s, ids.at(1), body,
                      [&](const ReviewDocument& d) { return ReviewDecisions::renewPairContext(d, ids.at(1)); });
}

HttpResponse Desk::decideLeanContext(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    const auto edit = json::decode<LeanContextEdit>(body.value("edit", json::Value::object()));
    return changePair(s, ids.at(1), body,
                      [&](const ReviewDocument& d) { return ReviewDecisions::setLeanContext(d, ids.at(1), edit); });
}

HttpResponse Desk::decideLean(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    const auto edit = json::decode<LeanAnnotationEdit>(body.value("edit", json::Value::object()));
    bool saved = false;
    const ReviewDocument before = document(s, saved);
    const ReviewFrame* frame = before.frame(ids.at(1));
    if (!frame) throw HttpRefusal(404, "No such rider.");
    const std::string pairID = frame->pairID;
    return changePair(s, pairID, body,
                      [&](const ReviewDocument& d) { return ReviewDecisions::setLeanAnnotation(d, ids.at(1), edit); });
}

HttpResponse Desk::importCoaching(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    const std::string text = body.value("contents", std::string());
    return changePair(s, ids.at(1), body,
                      [&](const ReviewDocument& d) { return ReviewDecisions::importPhotoCoaching(d, text); });
}

HttpResponse Desk::importSingleCoaching(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    const std::string text = body.value("contents", std::string());
    const std::string expected = body.value("version", std::string());
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    const ReviewPair pair = pairIn(doc, ids.at(1));
    const fs::path path = SinglePhotoCoachingStore::path(ReviewStore::documentPath(s.resultsURL));
    {
        std::lock_guard lock(saveMutex(s.id));
        try {
            SinglePhotoCoachingStore::import(path, doc.frames, text, expected);
        } catch (const PoseError& error) {
            if (error.code() != PoseErrorCode::conflict) throw;
            return errorResponse(409, error.message(), {{"pairView", pairJson(s, doc, pair, saved)}});
        }
    }
    return jsonResponse(pairJson(s, doc, pair, saved));
}

HttpResponse Desk::saveChecklist(const HttpRequest& request, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const json::Value body = objectBody(request);
    bool saved = false;
    const ReviewDocument doc = document(s, saved);
    const ReviewFrame* frame = doc.frame(ids.at(1));
    if (!frame) throw HttpRefusal(404, "No such rider.");
    const fs::path documentPath = ReviewStore::documentPath(s.resultsURL);
    const auto review = json::decode<CoachingChecklistReview>(body.value("checklist", json::Value::object()));
    if (review.frameID != frame->id) throw PoseError::invalidInput(CoachingChecklistReview::invalidMessage);
    const std::string expected = body.value("version", std::string());
    {
        std::lock_guard lock(saveMutex(s.id));
        try {
            ChecklistStore::save(ChecklistStore::path(documentPath), doc.frames, review, expected);
        } catch (const PoseError& error) {
            if (error.code() != PoseErrorCode::conflict) throw;
            return errorResponse(409, error.message(), {{"checklist", checklistJson(documentPath, doc, *frame)}});
        }
    }
    return jsonResponse(checklistJson(documentPath, doc, *frame));
}

HttpResponse Desk::writeReport(const HttpRequest&, const std::vector<std::string>& ids) {
    const DeskSession s = session(ids.at(0));
    const fs::path page = SessionReport::write(s.resultsURL);
    return jsonResponse({{"url", "/api/sessions/" + s.id + "/run/" + page.filename().string()}});
}

}  // namespace torvane::desk
