#include "Torvane/PairAnalysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace torvane {

std::optional<double> PairAnalysis::includedAngle(const Point2& a, const Point2& vertex, const Point2& c) {
    for (double value : {a.x, a.y, vertex.x, vertex.y, c.x, c.y})
        if (!std::isfinite(value)) return std::nullopt;
    const double ux = a.x - vertex.x, uy = a.y - vertex.y;
    const double vx = c.x - vertex.x, vy = c.y - vertex.y;
    const double lu = std::hypot(ux, uy), lv = std::hypot(vx, vy);
    if (!std::isfinite(lu) || !(lu > 1e-9) || !std::isfinite(lv) || !(lv > 1e-9)) return std::nullopt;
    const double cosine = std::clamp((ux / lu) * (vx / lv) + (uy / lu) * (vy / lv), -1.0, 1.0);
    return std::acos(cosine) * 180 / std::numbers::pi;
}

PairMeasurement PairAnalysis::measurement(const ReviewFrame& frame, PairFeature feature) {
    PairMeasurement out{frame.id, std::nullopt, {}, std::nullopt};
    std::vector<Point2> points;
    for (auto joint : joints(feature)) {
        if (auto point = frame.reviewedPoint(joint))
            points.push_back(*point);
        else
            out.missingJoints.emplace_back(joint);
    }
    if (!out.missingJoints.empty()) {
        out.unavailable = MeasurementUnavailable::unreviewedJoint;
        return out;
    }
    out.angle = includedAngle(points[0], points[1], points[2]);
    if (!out.angle) out.unavailable = MeasurementUnavailable::invalidGeometry;
    return out;
}

namespace {

bool kneeOccluded(const ReviewFrame& frame, PairFeature knee) {
    auto edit = frame.edits.find(std::string(joints(knee)[1]));
    return edit != frame.edits.end() && edit->second.state == JointReviewState::occluded;
}

}  // namespace

PairReport PairAnalysis::analyze(const ReviewDocument& document, const ReviewPair& pair, const RuleCatalog& catalog) {
    PairReview::validate(document);
    const auto pairs = PairReview::resolve(document.frames);
    if (std::find(pairs.begin(), pairs.end(), pair) == pairs.end() || !pair.referenceID)
        throw PoseError::invalidInput(noPairMessage);
    const ReviewFrame* subject = document.frame(pair.subjectID);
    const ReviewFrame* reference = document.frame(*pair.referenceID);
    if (!subject || !reference) throw PoseError::invalidInput(noPairMessage);

    auto stored = std::find_if(document.comparisonContexts.begin(), document.comparisonContexts.end(),
                               [&](const PairContext& c) { return c.pairID == pair.id; });
    PairContext context = stored != document.comparisonContexts.end() ? *stored : PairContext(document, pair);

    std::vector<PairObservation> observations;
    for (PairFeature feature : allCases<PairFeature>()) {
        PairObservation o{feature, measurement(*subject, feature), measurement(*reference, feature), std::nullopt,
                          std::nullopt};
        auto entry = context.comparability.find(feature);
        bool comparable = entry != context.comparability.end() && entry->second == ViewComparability::comparable;
        if (!comparable)
            o.comparisonUnavailable = reviewComparabilityText;
        else if (!o.subject.angle || !o.reference.angle)
            o.comparisonUnavailable = missingJointsText;
        else
            o.delta = *o.subject.angle - *o.reference.angle;
        observations.push_back(std::move(o));
    }

    PairReport report;
    report.evidenceHash = context.evidenceHash;
    report.pair = pair;
    report.revision = document.revision;
    report.analyzerVersion = version;
    report.catalogVersion = catalog.version;
    report.focus = catalog.evaluate(observations, context);
    report.observations = std::move(observations);
    report.activeRuleCount = std::count_if(catalog.rules.begin(), catalog.rules.end(),
                                           [](const FeedbackRule& r) { return r.isSupported(); });
    for (PairFeature knee : {PairFeature::leftKnee, PairFeature::rightKnee})
        if (kneeOccluded(*subject, knee) || kneeOccluded(*reference, knee)) report.unobservableKnees.insert(knee);
    report.context = std::move(context);
    return report;
}

}  // namespace torvane
