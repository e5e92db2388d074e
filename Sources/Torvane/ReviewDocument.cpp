#include "Torvane/ReviewDocument.h"

#include <cmath>

#include "Torvane/Dates.h"

namespace torvane {

namespace {

bool isKnownJoint(std::string_view joint) { return jointID(joint).has_value(); }

const std::optional<PoseResult>& select(const ReviewFrame& frame, std::string_view kind) {
    return kind == PoseKind::twoD ? frame.raw2D : frame.raw3D;
}

// A joint's usable point in a result: the result needs review, names the joint, is
// confident enough (3-D joints carry no confidence and count as certain) and lies in the panel.
std::optional<Point2> usablePoint(const ReviewFrame& frame, const std::optional<PoseResult>& result,
                                  std::string_view joint) {
    if (!result || result->status != PoseStatus::needsReview) return std::nullopt;
    const JointResult* found = result->joint(joint);
    if (!found) return std::nullopt;
    if (!found->isVisible() || !frame.contains(found->point)) return std::nullopt;
    return found->point;
}

}  // namespace

ReviewFrame::ReviewFrame(std::string id, std::string pairID, std::string role, std::string rider, std::string file,
                         std::string sourceHash, PixelRect panel, std::optional<PoseResult> raw3D,
                         std::optional<PoseResult> raw2D)
    : id(std::move(id)), pairID(std::move(pairID)), role(std::move(role)), rider(std::move(rider)),
      file(std::move(file)), sourceHash(std::move(sourceHash)), panel(panel), raw3D(std::move(raw3D)),
      raw2D(std::move(raw2D)) {}

bool ReviewFrame::contains(const Point2& p) const {
    return std::isfinite(p.x) && std::isfinite(p.y) && panel.x <= p.x && panel.y <= p.y &&
           p.x < panel.x + panel.width && p.y < panel.y + panel.height;
}

std::optional<Point2> ReviewFrame::rawPoint(std::string_view joint, std::string_view kind) const {
    return usablePoint(*this, select(*this, kind), joint);
}

std::optional<PoseResult> ReviewFrame::seedPose(std::string_view kind) const {
    if (retries) {
        for (auto it = retries->rbegin(); it != retries->rend(); ++it) {
            const auto& result = kind == PoseKind::twoD ? it->twoD : it->threeD;
            if (result && result->status == PoseStatus::needsReview && result->candidateCount == 1 &&
                !result->joints.empty())
                return result;
        }
    }
    return select(*this, kind);
}

std::optional<Point2> ReviewFrame::seedPoint(std::string_view joint, std::string_view kind) const {
    return usablePoint(*this, seedPose(kind), joint);
}

std::optional<Point2> ReviewFrame::displayPoint(std::string_view joint, std::string_view kind) const {
    auto edit = edits.find(std::string(joint));
    if (edit != edits.end()) {
        if (edit->second.state == JointReviewState::occluded) return std::nullopt;
        return edit->second.point;
    }
    return seedPoint(joint, kind);
}

std::optional<Point2> ReviewFrame::reviewedPoint(std::string_view joint) const {
    auto edit = edits.find(std::string(joint));
    if (edit == edits.end()) return std::nullopt;
    auto state = edit->second.state;
    if (state != JointReviewState::corrected && state != JointReviewState::confirmed) return std::nullopt;
    return edit->second.point;
}

bool ReviewFrame::admits(std::string_view joint, const JointEdit& edit) const {
    if (!isKnownJoint(joint)) return false;
    if (edit.point) return contains(*edit.point) && edit.state != JointReviewState::occluded;
    return edit.state == JointReviewState::occluded || edit.state == JointReviewState::uncertain;
}

void ReviewFrame::setJoint(const std::string& joint, std::optional<Point2> point, JointReviewState state,
                           const platform::Env& env) {
    JointEdit edit{point, state};
    if (!admits(joint, edit)) throw PoseError::invalidInput(invalidJointMessage);
    auto current = edits.find(joint);
    std::optional<JointEdit> before;
    if (current != edits.end()) {
        if (current->second == edit) return;
        before = current->second;
    }
    history.push_back({joint, before, edit, referenceSecondsNow(env), "review"});
    edits[joint] = edit;
}

void ReviewFrame::restore(const std::string& joint, std::optional<JointEdit> edit, const platform::Env& env) {
    auto current = edits.find(joint);
    std::optional<JointEdit> before;
    if (current != edits.end()) before = current->second;
    history.push_back({joint, before, edit, referenceSecondsNow(env), "undo"});
    if (edit)
        edits[joint] = *edit;
    else
        edits.erase(joint);
}

void ReviewFrame::addRetry(DetectionRetry retry) {
    if (!retries) retries.emplace();
    retries->push_back(std::move(retry));
}

Point2 ReviewCoordinates::display(const Point2& p, const PixelRect& panel, double scale) {
    return {(p.x - panel.x) * scale, (p.y - panel.y) * scale};
}

Point2 ReviewCoordinates::source(const Point2& p, const PixelRect& panel, double scale) {
    return {panel.x + p.x / scale, panel.y + p.y / scale};
}

const ReviewFrame* ReviewDocument::frame(std::string_view id) const {
    for (const auto& f : frames)
        if (f.id == id) return &f;
    return nullptr;
}

ReviewFrame* ReviewDocument::frame(std::string_view id) {
    for (auto& f : frames)
        if (f.id == id) return &f;
    return nullptr;
}

json::Value json::Coder<ReviewDocument>::encode(const ReviewDocument& d) {
    return Value{{"schemaVersion", json::encode(d.schemaVersion)},
                 {"manifestHash", d.manifestHash},
                 {"reportHash", d.reportHash},
                 {"revision", json::encode(d.revision)},
                 {"frames", json::encode(d.frames, "frames")},
                 {"comparisonContexts", json::encode(d.comparisonContexts, "comparisonContexts")},
                 {"leanAnnotations", json::encode(d.leanAnnotations, "leanAnnotations")},
                 {"leanContexts", json::encode(d.leanContexts, "leanContexts")}};
}

ReviewDocument json::Coder<ReviewDocument>::decode(const Value& v, const std::string& path) {
    if (!v.is_object()) detail::fail(path, "expected an object, found " + detail::describeType(v));
    auto required = [&](const char* key) -> const Value& {
        auto it = v.find(key);
        if (it == v.end() || it->is_null()) detail::fail(path, std::string("missing required key \"") + key + "\"");
        return *it;
    };
    // Keys that schema 1 and 2 documents lack read as empty.
    auto optional = [&]<class T>(const char* key, T& member) {
        auto it = v.find(key);
        if (it != v.end() && !it->is_null()) member = json::decode<T>(*it, detail::child(path, key));
    };
    ReviewDocument d;
    d.schemaVersion = json::decode<std::int64_t>(required("schemaVersion"), detail::child(path, "schemaVersion"));
    d.manifestHash = json::decode<std::string>(required("manifestHash"), detail::child(path, "manifestHash"));
    d.reportHash = json::decode<std::string>(required("reportHash"), detail::child(path, "reportHash"));
    d.revision = json::decode<std::int64_t>(required("revision"), detail::child(path, "revision"));
    d.frames = json::decode<std::vector<ReviewFrame>>(required("frames"), detail::child(path, "frames"));
    optional("comparisonContexts", d.comparisonContexts);
    optional("leanAnnotations", d.leanAnnotations);
    optional("leanContexts", d.leanContexts);
    return d;
}

}  // namespace torvane
