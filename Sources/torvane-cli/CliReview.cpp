// review commands: making, loading, checking and saving joint-review documents, and the
// edits, retries and pair records an application makes on them.
#include <iostream>

#include "Cli.h"
#include "Torvane/DetectionRetry.h"
#include "Torvane/LeanReview.h"
#include "Torvane/PairReview.h"
#include "Torvane/ReviewEditing.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/SessionReport.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane::cli {

namespace {

// A document file read as JSON only: any document can be fed in, trusted or not.
ReviewDocument readDocument(const std::string& file) { return readRecord<ReviewDocument>(file); }

ReviewFrame& frameOf(ReviewDocument& document, const std::string& id) {
    ReviewFrame* frame = document.frame(id);
    if (!frame) throw PoseError(PoseErrorCode::notFound, "The document has no frame " + id + ".");
    return *frame;
}

ReviewPair pairOf(const ReviewDocument& document, const std::string& id) {
    for (auto& pair : PairReview::resolve(document.frames))
        if (pair.id == id) return pair;
    throw PoseError(PoseErrorCode::notFound, "The document has no pair " + id + ".");
}

JointReviewState parseState(const std::string& text) {
    if (auto state = enumValue<JointReviewState>(text)) return *state;
    throw UsageError("--state must be corrected, confirmed, occluded or uncertain");
}

json::Value pointJson(const std::optional<Point2>& p) { return json::encode(*p); }

int reviewMake(const Args& a) {
    printRecord(ReviewStore::make(a.at(0), a.at(1)));
    return 0;
}

int reviewPath(const Args& a) {
    printLine(ReviewStore::documentPath(a.at(0)).string());
    return 0;
}

int reviewLoad(const Args& a) {
    printRecord(ReviewStore::load(a.at(0)));
    return 0;
}

int reviewValidate(const Args& a) {
    ReviewDocument saved = ReviewStore::load(a.at(0));
    ReviewDocument reference = ReviewStore::make(a.required("--against"), a.at(1));
    ReviewStore::validate(saved, reference);
    printLine("valid");
    return 0;
}

int reviewSave(const Args& a) {
    std::optional<std::int64_t> expected;
    if (auto text = a.optional("--expected-revision")) expected = parseInteger(*text, "--expected-revision");
    const std::string to = a.required("--to");
    ReviewStore::save(readDocument(a.at(0)), to, expected, [&] {
        std::cerr << "Waiting for another save of " << platform::printable(to) << " to finish...\n" << std::flush;
    });
    printLine(to);
    return 0;
}

// Runs `change` on one frame of DOC and prints the document, or with --save PATH applies it
// to the saved document in one step (revision raised, loaded revision expected) and prints PATH.
int editFrame(const Args& a, const std::function<void(ReviewFrame&)>& change) {
    const auto save = a.optional("--save");
    if (save.has_value() == !a.positional.empty()) throw UsageError("give either DOC or --save PATH");
    const std::string id = a.required("--frame");
    if (save) {
        ReviewEditing::update(*save, [&](ReviewDocument& document) { change(frameOf(document, id)); });
        printLine(*save);
        return 0;
    }
    ReviewDocument document = readDocument(a.at(0));
    change(frameOf(document, id));
    printRecord(document);
    return 0;
}

int reviewSetJoint(const Args& a) {
    std::optional<Point2> point;
    if (auto text = a.optional("--point")) point = parsePoint(*text);
    const JointReviewState state = parseState(a.required("--state"));
    const std::string kind = a.optional("--kind").value_or("2D");
    if (kind != "2D" && kind != "3D") throw UsageError("--kind must be 2D or 3D");
    const std::string joint = ReviewEditing::jointName(a.required("--joint"));
    return editFrame(a, [&](ReviewFrame& frame) { ReviewEditing::decide(frame, joint, point, state, kind); });
}

int reviewRestore(const Args& a) {
    std::optional<JointEdit> edit;
    if (auto file = a.optional("--edit")) edit = readRecord<JointEdit>(*file);
    const std::string joint = ReviewEditing::jointName(a.required("--joint"));
    return editFrame(a, [&](ReviewFrame& frame) { frame.restore(joint, edit); });
}

int reviewPoints(const Args& a) {
    ReviewDocument document = readDocument(a.at(0));
    const ReviewFrame& frame = frameOf(document, a.required("--frame"));
    const std::string joint = ReviewEditing::jointName(a.required("--joint"));
    const std::string kind = a.optional("--kind").value_or("2D");
    if (kind != "2D" && kind != "3D") throw UsageError("--kind must be 2D or 3D");
    json::Value out = json::Value::object();
    auto put = [&](const char* key, const std::optional<Point2>& p) {
        if (p) out[key] = pointJson(p);
    };
    put("raw", frame.rawPoint(joint, kind));
    put("seed", frame.seedPoint(joint, kind));
    put("display", frame.displayPoint(joint, kind));
    put("reviewed", frame.reviewedPoint(joint));
    printJson(out);
    return 0;
}

int reviewRetry(const Args& a) {
    ReviewDocument document = readDocument(a.at(0));
    ReviewFrame& frame = frameOf(document, a.required("--frame"));
    const PixelRect crop = parseRect(a.required("--crop"));
    RetryRequest request{ReviewStore::assetURL(frame.file, a.required("--session")), frame.sourceHash, crop};
    frame.addRetry(request.run());
    printRecord(document);
    return 0;
}

int reviewPairs(const Args& a) {
    printRecord(PairReview::resolve(readDocument(a.at(0)).frames));
    return 0;
}

int reviewEvidenceHash(const Args& a) {
    ReviewDocument document = readDocument(a.at(0));
    printLine(PairReview::evidenceHash(document, pairOf(document, a.required("--pair"))));
    return 0;
}

int reviewNewContext(const Args& a) {
    ReviewDocument document = readDocument(a.at(0));
    printRecord(PairContext(document, pairOf(document, a.required("--pair"))));
    return 0;
}

int reviewCheck(const Args& a) {
    ReviewDocument document = readDocument(a.at(0));
    PairReview::validate(document);
    LeanReview::validate(document);
    printLine("valid");
    return 0;
}

int reviewReport(const Args& a) {
    if (auto out = a.optional("--out")) {
        SessionReport::write(a.at(0), *out);
        printLine(*out);
    } else {
        printLine(SessionReport::write(a.at(0)).string());
    }
    return 0;
}

}  // namespace

std::vector<Command> reviewCommands() {
    return {
        {"review", "make", "SESSION_JSON RESULTS_JSON",
         "Make a fresh joint-review document from a manifest and its results file; print it.", {}, {}, 2, reviewMake},
        {"review", "path", "RESULTS_JSON", "Print the path of the review document of a results file.", {}, {}, 1,
         reviewPath},
        {"review", "load", "PATH", "Load a saved review document with all of the store's checks; print it.", {}, {}, 1,
         reviewLoad},
        {"review", "validate", "PATH --against SESSION_JSON RESULTS_JSON",
         "Check that a saved review still belongs to the manifest, results file and photos; print \"valid\".", {},
         {"--against"}, 2, reviewValidate},
        {"review", "save", "DOC --to PATH [--expected-revision N]",
         "Save a document under the lock with the revision check; print PATH.", {}, {"--to", "--expected-revision"}, 1,
         reviewSave},
        {"review", "set-joint", "(DOC | --save PATH) --frame ID --joint NAME --state STATE [--point X,Y] [--kind 2D|3D]",
         "Record a joint decision (corrected, confirmed, occluded, uncertain); confirmed without --point confirms the "
         "displayed point of --kind. Prints the changed document, or with --save PATH saves it in one step.", {},
         {"--frame", "--joint", "--state", "--point", "--kind", "--save"}, 0, reviewSetJoint, 1},
        {"review", "restore", "(DOC | --save PATH) --frame ID --joint NAME [--edit EDIT_FILE]",
         "Undo: put a JointEdit back, or remove the joint's edit without --edit. Prints the changed document, or "
         "with --save PATH saves it in one step.", {},
         {"--frame", "--joint", "--edit", "--save"}, 0, reviewRestore, 1},
        {"review", "points", "DOC --frame ID --joint NAME [--kind 2D|3D]",
         "Print the raw, seed, display and reviewed points of a joint (absent ones left out).", {},
         {"--frame", "--joint", "--kind"}, 1, reviewPoints},
        {"review", "retry", "DOC --session SESSION_JSON --frame ID --crop X,Y,W,H",
         "Run both detectors again on a tighter crop of the frame's photo; print the document with the retry.", {},
         {"--session", "--frame", "--crop"}, 1, reviewRetry},
        {"review", "pairs", "DOC", "Print the pairs the document's frames form.", {}, {}, 1, reviewPairs},
        {"review", "evidence-hash", "DOC --pair ID", "Print the evidence hash of a pair.", {}, {"--pair"}, 1,
         reviewEvidenceHash},
        {"review", "new-context", "DOC --pair ID", "Print a fresh comparison context for a pair.", {}, {"--pair"}, 1,
         reviewNewContext},
        {"review", "check", "DOC", "Run the pair and lean checks of a document; print \"valid\".", {}, {}, 1,
         reviewCheck},
        {"review", "report", "RESULTS_JSON [--out FILE]",
         "Write the printable session report of a results file's saved review (into its run folder, or to FILE, "
         "which must not exist); print its path.",
         {}, {"--out"}, 1, reviewReport},
    };
}

}  // namespace torvane::cli
