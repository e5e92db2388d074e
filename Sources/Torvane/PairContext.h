// The reviewer's judgements about comparing a pair of review frames, as stored in the review
// document: the compared features, corner direction, view comparability, knee placement and
// imported photo coaching.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Torvane/Json.h"

namespace torvane {

struct ReviewDocument;
struct ReviewPair;

// The four compared body angles.
enum class PairFeature { leftElbow, rightElbow, leftKnee, rightKnee };
struct PairFeatureCase {
    PairFeature value;
    std::string_view name;
    std::string_view label;                  // the vertex joint's name in words
    std::array<std::string_view, 3> joints;  // outer joint, vertex, outer joint
};
template <>
struct EnumTable<PairFeature> {
    static constexpr PairFeatureCase cases[] = {
        {PairFeature::leftElbow, "leftElbow", "Left Elbow", {"left_shoulder", "left_elbow", "left_wrist"}},
        {PairFeature::rightElbow, "rightElbow", "Right Elbow", {"right_shoulder", "right_elbow", "right_wrist"}},
        {PairFeature::leftKnee, "leftKnee", "Left Knee", {"left_hip", "left_knee", "left_ankle"}},
        {PairFeature::rightKnee, "rightKnee", "Right Knee", {"right_hip", "right_knee", "right_ankle"}}};
};
constexpr const std::array<std::string_view, 3>& joints(PairFeature feature) { return enumCase(feature).joints; }

enum class CornerDirection { unknown, left, right };
template <>
struct EnumTable<CornerDirection> {
    static constexpr EnumCase<CornerDirection> cases[] = {
        {CornerDirection::unknown, "unknown"}, {CornerDirection::left, "left"}, {CornerDirection::right, "right"}};
};

enum class ViewComparability { unreviewed, comparable, notComparable };
template <>
struct EnumTable<ViewComparability> {
    static constexpr EnumCase<ViewComparability> cases[] = {
        {ViewComparability::unreviewed, "unreviewed"},
        {ViewComparability::comparable, "comparable"},
        {ViewComparability::notComparable, "notComparable"}};
};

enum class KneePlacement { unreviewed, closerToTank, fartherFromTank, similar, unassessable };
template <>
struct EnumTable<KneePlacement> {
    static constexpr LabelledCase<KneePlacement> cases[] = {
        {KneePlacement::unreviewed, "unreviewed", "Not reviewed"},
        {KneePlacement::closerToTank, "closerToTank", "Closer to tank than reference"},
        {KneePlacement::fartherFromTank, "fartherFromTank", "Farther from tank than reference"},
        {KneePlacement::similar, "similar", "Similar to reference"},
        {KneePlacement::unassessable, "unassessable", "Cannot compare these views"}};
};

struct PhotoCoachingPoint {
    std::string title;
    std::string detail;

    bool operator==(const PhotoCoachingPoint&) const = default;
    template <class V> void fields(V& v) { v("detail", detail); v("title", title); }
};

struct PhotoCoachingReview {
    CornerDirection cornerDirection = CornerDirection::unknown;
    std::string provenance;
    std::vector<PhotoCoachingPoint> points;

    static constexpr const char* invalidMessage =
        "Photo coaching needs a direction, provenance, and one to three distinct, nonempty points.";

    // Accepts a known direction and what pointsValid accepts.
    void validate() const;
    // A non-blank provenance and one to three points with distinct titles (compared as
    // stored) and non-blank titles and details; single-photo coaching asks the same.
    static bool pointsValid(const std::string& provenance, const std::vector<PhotoCoachingPoint>& points);

    bool operator==(const PhotoCoachingReview&) const = default;
    template <class V> void fields(V& v) { v("cornerDirection", cornerDirection); v("points", points); v("provenance", provenance); }
};

// The stored comparison context of one pair with a reference rider.
struct PairContext {
    std::string pairID;
    std::string subjectID;
    std::string referenceID;
    std::string evidenceHash;
    bool subjectConfirmed = false;
    bool referenceConfirmed = false;
    CornerDirection cornerDirection = CornerDirection::unknown;
    std::map<PairFeature, ViewComparability> comparability;
    std::optional<std::map<PairFeature, KneePlacement>> kneePlacement;
    std::optional<PhotoCoachingReview> photoCoaching;

    PairContext() = default;
    // A fresh context for `pair`, bound to its current evidence hash; refuses a pair
    // without a reference ("This photo has no reference.").
    PairContext(const ReviewDocument& document, const ReviewPair& pair);

    bool operator==(const PairContext&) const = default;
    template <class V> void fields(V& v) {
        v("comparability", comparability); v("cornerDirection", cornerDirection); v("evidenceHash", evidenceHash);
        v("kneePlacement", kneePlacement); v("pairID", pairID); v("photoCoaching", photoCoaching);
        v("referenceConfirmed", referenceConfirmed); v("referenceID", referenceID);
        v("subjectConfirmed", subjectConfirmed); v("subjectID", subjectID);
    }
};

// The maps keyed by a pair feature are stored as arrays alternating key and value.
template <class Value>
struct json::Coder<std::map<PairFeature, Value>> {
    static json::Value encode(const std::map<PairFeature, Value>& map) {
        json::Value array = json::Value::array();
        for (const auto& [key, value] : map) {
            array.push_back(json::encode(key));
            array.push_back(json::encode(value));
        }
        return array;
    }
    static std::map<PairFeature, Value> decode(const json::Value& v, const std::string& path) {
        if (!v.is_array()) detail::fail(path, "expected an array, found " + detail::describeType(v));
        if (v.size() % 2 != 0) detail::fail(path, "expected alternating keys and values, found an odd count");
        std::map<PairFeature, Value> out;
        for (std::size_t i = 0; i < v.size(); i += 2)  // a repeated key: the later pair wins
            out[json::decode<PairFeature>(v[i], detail::child(path, i))] =
                json::decode<Value>(v[i + 1], detail::child(path, i + 1));
        return out;
    }
};

}  // namespace torvane
