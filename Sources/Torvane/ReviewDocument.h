// The joint review records: one frame per rider with the reviewer's joint edits and their
// history, and the review document that holds a session's human review.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Torvane/DetectionRetry.h"
#include "Torvane/Geometry.h"
#include "Torvane/Json.h"
#include "Torvane/LeanAnnotation.h"
#include "Torvane/PairContext.h"
#include "Torvane/PoseResult.h"
#include "Torvane/platform/Env.h"

namespace torvane {

enum class JointReviewState { corrected, confirmed, occluded, uncertain };
template <>
struct EnumTable<JointReviewState> {
    static constexpr LabelledCase<JointReviewState> cases[] = {
        {JointReviewState::corrected, "corrected", "Corrected \u00b7 2D"},
        {JointReviewState::confirmed, "confirmed", "Confirmed \u00b7 visible"},
        {JointReviewState::occluded, "occluded", "Obscured \u00b7 unobservable"},
        {JointReviewState::uncertain, "uncertain", "Uncertain \u00b7 excluded"}};
};

// The reviewer's current decision for one joint.
struct JointEdit {
    std::optional<Point2> point;
    JointReviewState state = JointReviewState::confirmed;

    bool operator==(const JointEdit&) const = default;
    template <class V> void fields(V& v) { v("point", point); v("state", state); }
};

// One entry of a frame's edit history.
struct JointChange {
    std::string joint;
    std::optional<JointEdit> before;
    std::optional<JointEdit> after;
    double timestamp = 0;  // seconds since 2001-01-01T00:00:00Z
    std::string action;    // "review" (setJoint) or "undo" (restore)

    bool operator==(const JointChange&) const = default;
    template <class V> void fields(V& v) {
        v("action", action); v("after", after); v("before", before); v("joint", joint); v("timestamp", timestamp);
    }
};

// One rider of one photo under review. The first nine fields never change; edits go
// through setJoint and restore, which leave one history entry per change.
struct ReviewFrame {
    std::string id;  // pair id, "-", role
    std::string pairID;
    std::string role;
    std::string rider;
    std::string file;  // relative to the session folder
    std::string sourceHash;
    PixelRect panel;
    std::optional<PoseResult> raw3D;
    std::optional<PoseResult> raw2D;
    std::map<std::string, JointEdit> edits;
    std::vector<JointChange> history;
    std::optional<std::vector<DetectionRetry>> retries;

    static constexpr const char* invalidJointMessage =
        "Joint position must be inside the source photo; obscured joints have no reviewed position.";

    ReviewFrame() = default;
    ReviewFrame(std::string id, std::string pairID, std::string role, std::string rider, std::string file,
                std::string sourceHash, PixelRect panel, std::optional<PoseResult> raw3D,
                std::optional<PoseResult> raw2D);

    // No 3-D result counts as validated.
    bool hasValidated3D() const { return false; }

    // Whether the point lies in the half-open panel (finite coordinates only).
    bool contains(const Point2& point) const;
    // The detector's own usable position of a joint ("2D" selects raw2D, anything else raw3D).
    std::optional<Point2> rawPoint(std::string_view joint, std::string_view kind) const;
    // The newest usable retry result of that kind, else the raw result of that kind.
    std::optional<PoseResult> seedPose(std::string_view kind) const;
    // The proposed position of a joint from seedPose.
    std::optional<Point2> seedPoint(std::string_view joint, std::string_view kind) const;
    // The reviewer's point when the joint has an edit (none when obscured), else the proposal.
    std::optional<Point2> displayPoint(std::string_view joint, std::string_view kind) const;
    // A corrected or confirmed position: the only points analysis may use.
    std::optional<Point2> reviewedPoint(std::string_view joint) const;

    // Records a decision; refuses unknown joints, points outside the panel, a missing point
    // for corrected or confirmed joints and a point for obscured ones. An unchanged edit
    // adds no history. History entries are stamped with `env`'s clock.
    void setJoint(const std::string& joint, std::optional<Point2> point, JointReviewState state,
                  const platform::Env& env = platform::Env::system());
    // Undo: puts `edit` back (or removes the joint's edit) and always adds an "undo" entry.
    void restore(const std::string& joint, std::optional<JointEdit> edit,
                 const platform::Env& env = platform::Env::system());
    void addRetry(DetectionRetry retry);

    // Whether a saved edit obeys the rules setJoint enforces.
    bool admits(std::string_view joint, const JointEdit& edit) const;

    bool operator==(const ReviewFrame&) const = default;
    template <class V> void fields(V& v) {
        v("edits", edits); v("file", file); v("history", history); v("id", id); v("pairID", pairID);
        v("panel", panel); v("raw2D", raw2D); v("raw3D", raw3D); v("retries", retries); v("rider", rider);
        v("role", role); v("sourceHash", sourceHash);
    }
};

// Conversions between source-photo pixels and a canvas showing a panel magnified by `scale`.
struct ReviewCoordinates {
    static Point2 display(const Point2& point, const PixelRect& panel, double scale);
    static Point2 source(const Point2& point, const PixelRect& panel, double scale);
};

// The one file in which a session's human review lives.
struct ReviewDocument {
    static constexpr std::int64_t currentSchema = 3;

    std::int64_t schemaVersion = currentSchema;
    std::string manifestHash;
    std::string reportHash;
    std::int64_t revision = 0;
    std::vector<ReviewFrame> frames;
    std::vector<PairContext> comparisonContexts;
    std::map<std::string, LeanAnnotation> leanAnnotations;  // by frame id
    std::map<std::string, LeanPairContext> leanContexts;    // by pair id

    ReviewDocument() = default;
    ReviewDocument(std::string manifestHash, std::string reportHash, std::vector<ReviewFrame> frames)
        : manifestHash(std::move(manifestHash)), reportHash(std::move(reportHash)), frames(std::move(frames)) {}

    bool downstreamEvidenceStale() const { return revision > 0; }

    // The frame with that id, if any (the first, should ids repeat).
    const ReviewFrame* frame(std::string_view id) const;
    ReviewFrame* frame(std::string_view id);

    bool operator==(const ReviewDocument&) const = default;
};

// Documents of older schemas lack the context and lean keys; they read as empty and are
// always written.
template <>
struct json::Coder<ReviewDocument> {
    static Value encode(const ReviewDocument& d);
    static ReviewDocument decode(const Value& v, const std::string& path);
};

}  // namespace torvane
