// pair, lean, coaching and checklist commands: comparing a subject with a reference rider
// in a review document, and the coach's photo coaching and checklists.
#include "Cli.h"
#include "Torvane/CoachingChecklist.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/PhotoCoaching.h"
#include "Torvane/ProvisionalCoaching.h"
#include "Torvane/ReviewDocument.h"

namespace torvane::cli {

namespace {

// A document file decoded as JSON only, without the store's load checks.
ReviewDocument readDocument(const std::string& file) { return readRecord<ReviewDocument>(file); }

std::optional<ReviewPair> resolvedPair(const ReviewDocument& document, const std::string& id) {
    for (auto& pair : PairReview::resolve(document.frames))
        if (pair.id == id) return pair;
    return std::nullopt;
}

ReviewPair requirePair(const ReviewDocument& document, const std::string& id) {
    if (auto pair = resolvedPair(document, id)) return *pair;
    throw PoseError(PoseErrorCode::notFound, "The document has no pair " + id + ".");
}

json::Value bulletJson(const CoachingBullet& bullet) {
    json::Value out = json::Value::object();
    out["id"] = bullet.id();
    if (bullet.feature) out["feature"] = json::encode(*bullet.feature);
    out["title"] = bullet.title;
    out["detail"] = bullet.detail;
    out["provenance"] = bullet.provenance;
    out["version"] = bullet.version;
    return out;
}

json::Value reportJson(const PairReport& report) {
    json::Value out = json::Value::object();
    out["activeRuleCount"] = report.activeRuleCount;
    out["analyzerVersion"] = report.analyzerVersion;
    out["catalogVersion"] = report.catalogVersion;
    out["coaching"] = json::Value::array();
    for (const auto& bullet : report.coaching()) out["coaching"].push_back(bulletJson(bullet));
    out["context"] = json::encode(report.context);
    out["effectiveCornerDirection"] = json::encode(report.effectiveCornerDirection());
    out["evidenceHash"] = report.evidenceHash;
    out["focus"] = json::encode(report.focus);
    out["hasPhotoCoaching"] = report.hasPhotoCoaching();
    out["limitations"] = PairReport::limitations;
    out["observations"] = json::encode(report.observations);
    out["pair"] = json::encode(report.pair);
    out["revision"] = report.revision;
    out["unobservableKnees"] = json::Value::array();
    for (PairFeature knee : report.unobservableKnees) out["unobservableKnees"].push_back(json::encode(knee));
    return out;
}

int pairAnalyze(const Args& a) {
    const ReviewDocument document = readDocument(a.at(0));
    const std::string id = a.required("--pair");
    // An unknown pair id is the analysis's own refusal, "No complete pair to analyze."
    const ReviewPair pair = resolvedPair(document, id).value_or(ReviewPair{id, "", std::nullopt});
    if (auto rules = a.optional("--rules"))
        printJson(reportJson(PairAnalysis::analyze(document, pair, readRecord<RuleCatalog>(*rules))));
    else
        printJson(reportJson(PairAnalysis::analyze(document, pair)));
    return 0;
}

int leanMeasure(const Args& a) {
    const ReviewDocument document = readDocument(a.at(0));
    const std::string frame = a.required("--frame");
    auto annotation = document.leanAnnotations.find(frame);
    if (annotation == document.leanAnnotations.end())
        throw PoseError(PoseErrorCode::notFound, "The document has no lean annotation for frame " + frame + ".");
    auto measurement = LeanAnalysis::measure(annotation->second);
    printJson(measurement ? json::encode(*measurement) : json::Value(nullptr));
    return 0;
}

int leanDigest(const Args& a) {
    const ReviewDocument document = readDocument(a.at(0));
    printLine(LeanAnalysis::evidenceDigest(document, requirePair(document, a.required("--pair"))));
    return 0;
}

int leanCompare(const Args& a) {
    const ReviewDocument document = readDocument(a.at(0));
    printRecord(LeanAnalysis::compare(document, requirePair(document, a.required("--pair"))));
    return 0;
}

int coachingImport(const Args& a) {
    auto contexts = readRecord<std::vector<PairContext>>(a.at(0));
    printRecord(PhotoCoachingImport::apply(contexts, readDocument(a.required("--document"))));
    return 0;
}

int coachingSingle(const Args& a) {
    printRecord(SinglePhotoCoaching::load(a.at(0), readDocument(a.required("--document")).frames));
    return 0;
}

int checklistNew(const Args& a) {
    const ReviewDocument document = readDocument(a.required("--document"));
    const std::string id = a.required("--frame");
    const ReviewFrame* frame = document.frame(id);
    if (!frame) throw PoseError(PoseErrorCode::notFound, "The document has no frame " + id + ".");
    printRecord(CoachingChecklistReview(*frame));
    return 0;
}

int checklistLoad(const Args& a) {
    printRecord(CoachingChecklist::load(a.at(0), readDocument(a.required("--document")).frames));
    return 0;
}

int checklistRows(const Args& a) {
    auto loaded = CoachingChecklist::load(a.at(0), readDocument(a.required("--document")).frames);
    std::optional<CoachingChecklistReview> review;
    if (auto found = loaded.find(a.required("--frame")); found != loaded.end()) review = found->second;
    printRecord(CoachingChecklist::rows(review));
    return 0;
}

}  // namespace

std::vector<Command> analysisCommands() {
    return {
        {"pair", "analyze", "DOC --pair ID [--rules RULES_JSON]",
         "Compare the elbow and knee angles of a pair's subject and reference rider; print the report with its "
         "coaching bullets.",
         {}, {"--pair", "--rules"}, 1, pairAnalyze},
        {"lean", "measure", "DOC --frame ID", "Print the wheel-line measurement of a frame's lean annotation, or null.",
         {}, {"--frame"}, 1, leanMeasure},
        {"lean", "digest", "DOC --pair ID", "Print the digest a reviewer approves for a pair's lean evidence.", {},
         {"--pair"}, 1, leanDigest},
        {"lean", "compare", "DOC --pair ID", "Compare the subject's apparent wheel lean with the reference rider's.", {},
         {"--pair"}, 1, leanCompare},
        {"coaching", "import", "CONTEXTS_JSON --document DOC",
         "Attach the photo coaching of an array of pair contexts to a document; print the new document.", {},
         {"--document"}, 1, coachingImport},
        {"coaching", "single", "FILE --document DOC",
         "Load and check a single-photo coaching file; print it keyed by frame id.", {}, {"--document"}, 1,
         coachingSingle},
        {"checklist", "new", "--document DOC --frame ID", "Print a fresh coaching checklist for a frame.", {},
         {"--document", "--frame"}, 0, checklistNew},
        {"checklist", "load", "FILE --document DOC", "Load and check a checklist file; print it keyed by frame id.", {},
         {"--document"}, 1, checklistLoad},
        {"checklist", "rows", "FILE --document DOC --frame ID",
         "Print the nine checklist rows of a frame (defaults when the file has none for it).", {},
         {"--document", "--frame"}, 1, checklistRows},
    };
}

}  // namespace torvane::cli
