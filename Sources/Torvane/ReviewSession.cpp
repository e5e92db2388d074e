#include "Torvane/ReviewSession.h"

#include <cmath>
#include <set>

#include "Torvane/ContentHash.h"
#include "Torvane/Dates.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/ReviewFiles.h"

namespace torvane {

std::string_view label(JointReviewState state) {
    switch (state) {
        case JointReviewState::corrected: return "Corrected \u00b7 2D";
        case JointReviewState::confirmed: return "Confirmed \u00b7 visible";
        case JointReviewState::occluded: return "Obscured \u00b7 unobservable";
        case JointReviewState::uncertain: return "Uncertain \u00b7 excluded";
    }
    return {};
}

namespace {

constexpr double minimumConfidence = 0.2;

bool isKnownJoint(std::string_view joint) { return InspectionRenderer::jointID(joint).has_value(); }

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
    double confidence = found->confidence2D.value_or(1.0);
    if (!(confidence >= minimumConfidence) || !frame.contains(found->point)) return std::nullopt;
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

void ReviewFrame::setJoint(const std::string& joint, std::optional<Point2> point, JointReviewState state) {
    JointEdit edit{point, state};
    if (!admits(joint, edit)) throw PoseError::invalidInput(invalidJointMessage);
    auto current = edits.find(joint);
    std::optional<JointEdit> before;
    if (current != edits.end()) {
        if (current->second == edit) return;
        before = current->second;
    }
    history.push_back({joint, before, edit, referenceSecondsNow(), "review"});
    edits[joint] = edit;
}

void ReviewFrame::restore(const std::string& joint, std::optional<JointEdit> edit) {
    auto current = edits.find(joint);
    std::optional<JointEdit> before;
    if (current != edits.end()) before = current->second;
    history.push_back({joint, before, edit, referenceSecondsNow(), "undo"});
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

// The store.

namespace fs = std::filesystem;

namespace {

// Two optional detector results are the same evidence when their canonical encodings match.
bool sameResult(const std::optional<PoseResult>& a, const std::optional<PoseResult>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return json::canonical(*a) == json::canonical(*b);
}

fs::path withSuffix(const fs::path& url, const std::string& suffix) {
    fs::path out = url;
    out += suffix;
    return out;
}

}  // namespace

std::string ReviewStore::digest(std::string_view bytes) { return contentHash(bytes); }

fs::path ReviewStore::documentURL(const fs::path& reportURL) {
    return reportURL.parent_path() / ("joint-review-" + contentHashOfFile(reportURL).substr(0, 12) + ".json");
}

ReviewDocument ReviewStore::make(const fs::path& manifestURL, const fs::path& reportURL) {
    // Each file is read once: the hashes belong to exactly the text that was checked.
    std::string manifestBytes, reportBytes;
    SessionManifest manifest = SessionManifest::load(manifestURL, &manifestBytes);
    auto report = json::decodeFile<FeasibilityReport>(reportURL, platform::recordFileLimit, &reportBytes);
    const std::string manifestHash = digest(manifestBytes);
    if (report.schemaVersion != 1 || report.manifestHash != manifestHash)
        throw PoseError::invalidInput(differentManifestMessage);

    std::vector<ReviewFrame> frames;
    for (const auto& pair : manifest.pairs) {
        for (const auto& rider : pair.riders) {
            const CropReport* crop = nullptr;
            int matches = 0;
            for (const auto& candidate : report.crops)
                if (candidate.pairID == pair.id && candidate.role == rider.role) {
                    crop = &candidate;
                    ++matches;
                }
            if (matches != 1 || !crop->sourceHash)
                throw PoseError::invalidInput("Missing or duplicate source evidence for " + pair.id + " " + rider.role + ".");
            // Only the hash and the upright size are needed: a header probe gives both
            // without decoding, which keeps rescans of reviewed sessions cheap.
            ImageProbe photo = ImageInput::probe(SessionManifest::assetURL(pair, &rider, manifestURL));
            if (photo.sha256 != *crop->sourceHash)
                throw PoseError::invalidInput("Source image changed: " + pair.id + " " + rider.role + ".");
            rider.panel.validate(photo.width, photo.height);
            frames.emplace_back(pair.id + "-" + rider.role, pair.id, rider.role, rider.rider,
                                rider.file.value_or(pair.file), *crop->sourceHash, rider.panel, crop->threeD,
                                crop->twoD);
        }
    }
    return ReviewDocument(manifestHash, digest(reportBytes), std::move(frames));
}

ReviewDocument ReviewStore::decode(std::string_view bytes) {
    auto document = json::decodeText<ReviewDocument>(bytes);
    std::set<std::string> ids;
    bool duplicate = false;
    for (const auto& frame : document.frames) duplicate = duplicate || !ids.insert(frame.id).second;
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0 ||
        duplicate)
        throw PoseError::invalidInput(invalidDocumentMessage);
    PairReview::validate(document);
    LeanReview::validate(document);
    for (const auto& frame : document.frames)
        for (const auto& [joint, edit] : frame.edits)
            if (!frame.admits(joint, edit)) throw PoseError::invalidInput(invalidEditMessage);
    return document;
}

ReviewDocument ReviewStore::load(const fs::path& url) {
    const std::string bytes = platform::readRegularFile(url);
    try {
        return decode(bytes);
    } catch (const DecodingError& e) {
        throw json::inFile(e, url);
    }
}

void ReviewStore::validate(const ReviewDocument& document, const ReviewDocument& reference) {
    PairReview::validate(document);
    LeanReview::validate(document);
    if (document.manifestHash != reference.manifestHash || document.reportHash != reference.reportHash ||
        document.frames.size() != reference.frames.size())
        throw PoseError::invalidInput(differentEvidenceMessage);
    for (const auto& frame : document.frames) {
        const ReviewFrame* original = reference.frame(frame.id);
        if (!original || frame.pairID != original->pairID || frame.role != original->role ||
            frame.rider != original->rider || frame.file != original->file ||
            frame.sourceHash != original->sourceHash || frame.panel != original->panel ||
            !sameResult(frame.raw3D, original->raw3D) || !sameResult(frame.raw2D, original->raw2D))
            throw PoseError::invalidInput(differentFrameMessage);
    }
}

fs::path ReviewStore::assetURL(const std::string& file, const fs::path& manifestURL) {
    const std::string folder = platform::canonicalPath(fs::absolute(manifestURL).parent_path()).string();
    if (file.empty() || file.front() == '/') throw PoseError::invalidInput(escapeMessage);
    const fs::path resolved = platform::canonicalPath(fs::path(folder) / file);
    const std::string prefix = folder == "/" ? folder : folder + "/";
    if (resolved.string().rfind(prefix, 0) != 0) throw PoseError::invalidInput(escapeMessage);
    return resolved;
}

fs::path ReviewStore::legacyBackupURL(const fs::path& url, std::int64_t schema) {
    return withSuffix(url, ".schema" + std::to_string(schema) + "-backup");
}

fs::path ReviewStore::lockURL(const fs::path& url) { return withSuffix(url, ".lock"); }

namespace {

// Keeps the exact bytes of an older-schema document before it is replaced.
void preserveLegacy(const std::string& bytes, const fs::path& url, std::int64_t schema) {
    const std::string n = std::to_string(schema);
    switch (platform::preserveExclusively(ReviewStore::legacyBackupURL(url, schema), bytes)) {
        case platform::BackupOutcome::created:
        case platform::BackupOutcome::alreadyIdentical: return;
        case platform::BackupOutcome::cannotCreate:
            throw PoseError::invalidInput("Cannot create schema-" + n + " backup; review preserved.");
        case platform::BackupOutcome::cannotOpen:
            throw PoseError::invalidInput("Cannot safely read schema-" + n + " backup.");
        case platform::BackupOutcome::differs:
            throw PoseError::invalidInput("Schema-" + n + " backup differs or is not a regular file; both files preserved.");
    }
}

}  // namespace

void ReviewStore::save(const ReviewDocument& document, const fs::path& url, std::optional<std::int64_t> expectedRevision) {
    if (document.schemaVersion < 1 || document.schemaVersion > ReviewDocument::currentSchema || document.revision < 0)
        throw PoseError::invalidInput(unsupportedSchemaMessage);
    ReviewDocument copy = document;
    copy.schemaVersion = ReviewDocument::currentSchema;
    PairReview::validate(copy);
    LeanReview::validate(copy);

    platform::ExclusiveLock lock(lockURL(url));  // released, then closed, on every way out
    if (!lock.isOpen()) throw PoseError::invalidInput(cannotLockMessage);
    if (!lock.acquire()) throw PoseError::invalidInput(cannotAcquireMessage);

    std::error_code ec;
    if (fs::exists(url, ec)) {
        // One read serves both the checks and the backup, so the backup holds exactly
        // the bytes that were checked.
        const std::string bytes = platform::readRegularFile(url);
        ReviewDocument saved = decode(bytes);
        if (!expectedRevision || saved.revision != *expectedRevision || saved.manifestHash != copy.manifestHash ||
            saved.reportHash != copy.reportHash)
            throw PoseError::invalidInput(conflictMessage);
        validate(copy, saved);
        if (saved.schemaVersion < ReviewDocument::currentSchema) preserveLegacy(bytes, url, saved.schemaVersion);
    } else if (ec) {
        throw fs::filesystem_error("cannot inspect review file", url, ec);
    } else if (expectedRevision) {
        throw PoseError::invalidInput(movedMessage);
    }

    const std::string text = json::pretty(copy);
    platform::replaceFileDurably(url, platform::hiddenSibling(url, ".saving"), text);
}

}  // namespace torvane
