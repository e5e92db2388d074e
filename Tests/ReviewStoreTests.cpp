// The review store on real files: making, loading, checking and saving documents.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace torvane;
using namespace torvane::test;

namespace {

bool lockIsFree(const fs::path& document) {
    int fd = ::open(ReviewStore::lockPath(document).c_str(), O_RDWR);
    if (fd < 0) return true;
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

struct StoreTest : ::testing::Test, ReviewOnDisk {};

}  // namespace

TEST_F(StoreTest, MakeBuildsOneFramePerRiderFromCheckedEvidence) {
    EXPECT_EQ(path.filename().string(), "joint-review-" + contentHashOfFile(session.report).substr(0, 12) + ".json");
    EXPECT_EQ(fresh.manifestHash, contentHashOfFile(session.manifest));
    EXPECT_EQ(fresh.reportHash, contentHashOfFile(session.report));
    ASSERT_EQ(fresh.frames.size(), 3u);
    EXPECT_EQ(fresh.frames[0].id, "p1-subject");
    EXPECT_EQ(fresh.frames[1].panel, (PixelRect{4, 4, 50, 40}));
    EXPECT_EQ(fresh.frames[2].file, "c.png") << "a rider without a file gets the pair's";
    EXPECT_TRUE(fresh.frames[0].raw2D && fresh.frames[0].raw3D);
}

TEST_F(StoreTest, MakeRefusesEvidenceThatDoesNotMatch) {
    auto report = json::decodeText<FeasibilityReport>(readText(session.report));
    auto withReport = [&](auto change) {
        FeasibilityReport copy = report;
        change(copy);
        writeText(session.report, json::pretty(copy));
        return messageOf([&] { ReviewStore::make(session.manifest, session.report); });
    };
    EXPECT_EQ(withReport([](auto& r) { r.crops.push_back(r.crops[1]); }), "Missing or duplicate source evidence for p1 reference.");
    EXPECT_EQ(withReport([](auto& r) { r.crops[2].sourceHash.reset(); }), "Missing or duplicate source evidence for p2 subject.");
    EXPECT_EQ(withReport([](auto& r) { r.crops.push_back(r.crops[0]); r.crops.back().pairID = "gone"; }), "no error");
    EXPECT_EQ(withReport([](auto& r) { r.schemaVersion = 2; }), ReviewStore::differentManifestMessage);
    writeText(session.report, json::pretty(report));

    // The hash is over the manifest's bytes: a white-space change is a different manifest.
    std::string manifest = readText(session.manifest);
    writeText(session.manifest, manifest + "\n");
    EXPECT_EQ(messageOf([&] { ReviewStore::make(session.manifest, session.report); }), ReviewStore::differentManifestMessage);
    writeText(session.manifest, manifest);

    // Same pixels, different bytes.
    std::string png = readText(session.folder / "b.png");
    writeText(session.folder / "b.png", png + std::string(1, '\0'));
    EXPECT_EQ(messageOf([&] { ReviewStore::make(session.manifest, session.report); }), "Source image changed: p1 reference.");
}

TEST_F(StoreTest, LoadRefusesDocumentsItCannotTrustAndNeverWrites) {
    ReviewDocument d = fresh;
    d.frames[0].setJoint("left_knee", Point2{5, 5}, JointReviewState::confirmed);
    d.frames[0].setJoint("right_knee", Point2{6, 6}, JointReviewState::uncertain);
    ReviewStore::save(d, path, std::nullopt);
    EXPECT_EQ(ReviewStore::load(path), d);

    auto loadWith = [&](auto change) {
        auto value = json::parse(readText(path));
        change(value);
        fs::path other = temp.path() / "other.json";
        const std::string bytes = json::prettyText(value);
        writeText(other, bytes);
        std::string message = messageOf([&] { ReviewStore::load(other); });
        EXPECT_EQ(readText(other), bytes);
        return message;
    };
    const std::string invalid = ReviewStore::invalidDocumentMessage;
    EXPECT_EQ(loadWith([](auto& v) { v["schemaVersion"] = 4; }), invalid);
    EXPECT_EQ(loadWith([](auto& v) { v["revision"] = -1; }), invalid);
    EXPECT_EQ(loadWith([](auto& v) { v["frames"][1]["id"] = "p1-subject"; }), invalid);
    EXPECT_EQ(loadWith([](auto& v) { v["frames"][0]["edits"]["left_knee"].erase("point"); }), ReviewStore::invalidEditMessage);
    EXPECT_EQ(loadWith([](auto& v) { v["frames"][0]["edits"]["left_knee"]["point"]["x"] = 60; }), ReviewStore::invalidEditMessage);
    EXPECT_EQ(loadWith([](auto& v) { v["frames"][0]["edits"]["left_knee"]["state"] = "occluded"; }), ReviewStore::invalidEditMessage);
    EXPECT_EQ(loadWith([](auto& v) { v["frames"][0]["role"] = "rider"; }), "Invalid pair roles for p1.");
    EXPECT_EQ(loadWith([](auto& v) {
                  v["schemaVersion"] = 1;
                  v["comparisonContexts"] = json::Value::array({json::Value::object()});
              }).rfind("The data couldn't be read", 0), 0u) << "a malformed context is a decoding error";
    EXPECT_EQ(loadWith([&](auto& v) {
                  v["schemaVersion"] = 1;
                  v["comparisonContexts"] = json::encode(std::vector<PairContext>{PairContext(d, PairReview::resolve(d.frames)[0])});
              }), "Invalid comparison context records.");
    EXPECT_EQ(loadWith([](auto& v) { v["schemaVersion"] = 2; v["leanContexts"]["p1"] = json::encode(LeanPairContext{}); }),
              LeanReview::schemaMessage);
    EXPECT_EQ(loadWith([](auto& v) { v["unknownKey"] = 1; }), "no error");
}

TEST_F(StoreTest, ValidateComparesIdentityAndRawEvidenceOnly) {
    ReviewDocument saved = fresh;
    saved.frames[1].setJoint("left_knee", Point2{10, 10}, JointReviewState::corrected);
    saved.comparisonContexts.push_back(PairContext(saved, PairReview::resolve(saved.frames)[0]));
    saved.leanContexts["p1"] = LeanPairContext{};
    saved.revision = 7;
    EXPECT_NO_THROW(ReviewStore::validate(saved, fresh));

    auto against = [&](auto change) {
        ReviewDocument reference = fresh;
        change(reference);
        return messageOf([&] { ReviewStore::validate(saved, reference); });
    };
    EXPECT_EQ(against([](auto& r) { r.reportHash = "x"; }), ReviewStore::differentEvidenceMessage);
    EXPECT_EQ(against([](auto& r) { r.frames.pop_back(); }), ReviewStore::differentEvidenceMessage);
    EXPECT_EQ(against([](auto& r) { r.frames[2].id = "p3-subject"; }), ReviewStore::differentFrameMessage);
    EXPECT_EQ(against([](auto& r) { r.frames[0].rider = "Other"; }), ReviewStore::differentFrameMessage);
    EXPECT_EQ(against([](auto& r) { r.frames[0].raw2D->joints[0].point.x += 0.5; }), ReviewStore::differentFrameMessage);
    EXPECT_EQ(against([](auto& r) { std::swap(r.frames[0], r.frames[1]); }), "no error") << "frames are matched by id";
}

TEST_F(StoreTest, AssetURLStaysInsideTheSessionFolder) {
    const fs::path folder = fs::canonical(session.folder);
    EXPECT_EQ(ReviewStore::assetURL("a.png", session.manifest), folder / "a.png");
    EXPECT_EQ(ReviewStore::assetURL("sub/../b.png", session.manifest), folder / "b.png");
    fs::create_directories(temp.path() / "outside");
    fs::create_directory_symlink(temp.path() / "outside", session.folder / "link");
    for (const char* escaping : {"../session.json", "/etc/passwd", "link/x.png", "", "."})
        EXPECT_EQ(messageOf([&] { ReviewStore::assetURL(escaping, session.manifest); }), ReviewStore::escapeMessage)
            << escaping;
}

TEST_F(StoreTest, SaveChecksRevisionsAndLeavesRefusedFilesAlone) {
    ReviewStore::save(fresh, path, std::nullopt);
    EXPECT_EQ(ReviewStore::load(path), fresh);

    const Refusal conflict{"conflict", ReviewStore::conflictMessage};
    auto refused = [&](const ReviewDocument& d, std::optional<std::int64_t> expected) {
        const std::string before = readText(path);
        Refusal refusal = refusalOf([&] { ReviewStore::save(d, path, expected); });
        EXPECT_EQ(readText(path), before) << refusal;
        EXPECT_TRUE(lockIsFree(path)) << refusal;
        return refusal;
    };
    EXPECT_EQ(refused(fresh, std::nullopt), conflict);

    // Two windows at revision 3: the first save wins, the second is refused.
    ReviewDocument three = fresh;
    three.revision = 3;
    ReviewStore::save(three, path, 0);
    ReviewDocument windowA = ReviewStore::load(path), windowB = windowA;
    windowA.revision = 4;
    windowA.frames[0].setJoint("left_knee", Point2{1, 1}, JointReviewState::confirmed);
    ReviewStore::save(windowA, path, 3);
    windowB.revision = 4;
    EXPECT_EQ(refused(windowB, 3), conflict);
    EXPECT_EQ(ReviewStore::load(path), windowA);

    // Save runs load's checks (one representative here; the rest: the load test above).
    const struct {
        const char* name;
        std::function<void(ReviewDocument&)> change;
        Refusal refusal;
    } cases[] = {
        {"other evidence", [](ReviewDocument& d) { d.manifestHash = "x"; }, conflict},
        {"a moved panel", [](ReviewDocument& d) { d.frames[1].panel.x = 5; }, {"changedEvidence", ReviewStore::differentFrameMessage}},
        {"a newer schema", [](ReviewDocument& d) { d.schemaVersion = 4; }, {"invalidDocument", ReviewStore::unsupportedSchemaMessage}},
        {"an edit load would refuse", [](ReviewDocument& d) {
             d.revision = 5;
             d.frames[0].edits["elbow_of_doom"] = {Point2{5, 5}, JointReviewState::confirmed};
         }, {"invalidDocument", ReviewStore::invalidEditMessage}},
        // A save must raise the revision: two editors of one revision cannot both win, nor
        // may a save go backwards.
        {"the same revision", [](ReviewDocument& d) { d.frames[0].setJoint("right_knee", std::nullopt, JointReviewState::occluded); },
         {"conflict", ReviewStore::staleRevisionMessage}},
        {"an older revision", [](ReviewDocument& d) { d.revision = 3; }, {"conflict", ReviewStore::staleRevisionMessage}},
    };
    for (const auto& c : cases) {
        ReviewDocument changed = windowA;
        c.change(changed);
        EXPECT_EQ(refused(changed, 4), c.refusal) << c.name;
    }

    // An untrusted file on disk is never overwritten.
    auto value = json::parse(readText(path));
    value["schemaVersion"] = 4;
    writeText(path, json::prettyText(value));
    EXPECT_EQ(refused(windowA, 4), (Refusal{"invalidDocument", ReviewStore::invalidDocumentMessage}));
    writeText(path, "{not json");
    Refusal unreadable = refused(windowA, 4);
    EXPECT_EQ(unreadable.code, "other");
    EXPECT_EQ(unreadable.message.rfind("The data couldn't be read", 0), 0u);

    // The file was moved away: saving with an expected revision refuses.
    fs::rename(path, temp.path() / "moved.json");
    EXPECT_EQ(refusalOf([&] { ReviewStore::save(windowA, path, 4); }), (Refusal{"moved", ReviewStore::movedMessage}));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(lockIsFree(path));
}

TEST_F(StoreTest, InMemorySchemaOneWithContextsSavesAsSchemaThree) {
    ReviewDocument d = fresh;
    d.schemaVersion = 1;
    d.comparisonContexts.push_back(PairContext(d, PairReview::resolve(d.frames)[0]));
    ReviewStore::save(d, path, std::nullopt);
    ReviewDocument loaded = ReviewStore::load(path);
    EXPECT_EQ(loaded.schemaVersion, 3);
    EXPECT_EQ(loaded.comparisonContexts, d.comparisonContexts);
}

TEST_F(StoreTest, OlderSchemaFilesAreBackedUpByteForByteOnce) {
    ReviewDocument two = fresh;
    two.schemaVersion = 2;
    two.revision = 1;
    // An older file as an older program wrote it: its own white space, no lean keys.
    auto value = json::encode(two);
    value.erase("leanAnnotations");
    value.erase("leanContexts");
    const std::string oldBytes = value.dump(4);
    writeText(path, oldBytes);
    const fs::path backup = ReviewStore::legacyBackupURL(path, 2);
    EXPECT_EQ(backup.string(), path.string() + ".schema2-backup");

    ReviewDocument next = ReviewStore::load(path);
    EXPECT_EQ(next.schemaVersion, 2);
    next.revision = 2;
    ReviewStore::save(next, path, 1);
    EXPECT_EQ(readText(backup), oldBytes);
    struct stat st {};
    ASSERT_EQ(::stat(backup.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReviewStore::load(path).schemaVersion, 3);

    // The old file comes back (restored by hand): the identical backup lets the save pass.
    writeText(path, oldBytes);
    ReviewStore::save(next, path, 1);
    EXPECT_EQ(ReviewStore::load(path).schemaVersion, 3);
    EXPECT_EQ(readText(backup), oldBytes);

    // A backup with other content, a symbolic link or a named pipe is never touched.
    auto refusedWith = [&](auto makeBackup) {
        writeText(path, oldBytes);
        fs::remove(backup);
        makeBackup();
        std::string message = messageOf([&] { ReviewStore::save(next, path, 1); });
        EXPECT_EQ(readText(path), oldBytes);
        EXPECT_TRUE(lockIsFree(path));
        return message;
    };
    const std::string differs = "Schema-2 backup differs or is not a regular file; both files preserved.";
    EXPECT_EQ(refusedWith([&] { writeText(backup, oldBytes + " "); }), differs);
    EXPECT_EQ(readText(backup), oldBytes + " ");
    writeText(temp.path() / "target", oldBytes);
    EXPECT_EQ(refusedWith([&] { fs::create_symlink(temp.path() / "target", backup); }), "Cannot safely read schema-2 backup.");
    EXPECT_TRUE(fs::is_symlink(backup));
    EXPECT_EQ(refusedWith([&] { ASSERT_EQ(::mkfifo(backup.c_str(), 0600), 0); }), differs);
    EXPECT_TRUE(fs::is_fifo(backup));
}

TEST_F(StoreTest, MalformedAndTruncatedDocumentsNeverCrashTheLoader) {
    ReviewDocument d = fresh;
    d.frames[0].setJoint("left_knee", Point2{5, 5}, JointReviewState::confirmed);
    d.frames[0].addRetry(DetectionRetry({0, 0, 30, 30}, pose("2D", 3, 3), std::nullopt));
    d.comparisonContexts.push_back(PairContext(d, PairReview::resolve(d.frames)[0]));
    d.leanAnnotations["p1-subject"] = LeanAnnotation(d.frames[0], LeanLine{{1, 1}, {20, 30}, 1});
    d.frames[0].history[0].timestamp = d.frames[0].retries->at(0).timestamp = 786000000.25;  // a fixed corpus
    const std::string bytes = json::pretty(d);
    std::uint64_t seed = 88172645463325252ull;
    auto next = [&] { seed ^= seed << 13; seed ^= seed >> 7; seed ^= seed << 17; return seed; };
    int decodeErrors = 0, refusals = 0, loaded = 0;
    // Loading a file is reading it (FileSystem tests) and this.
    auto attempt = [&](const std::string& text) {
        try {
            ReviewStore::decode(text);
            ++loaded;
        } catch (const DecodingError&) {
            ++decodeErrors;
        } catch (const PoseError&) {
            ++refusals;
        }
    };
    for (std::size_t cut = 0; cut < bytes.size(); cut += 31) attempt(bytes.substr(0, cut));
    const std::string noise = "{}[]\":,0-9eE.tfn\\ \x01\xff";
    for (int i = 0; i < 120; ++i) {
        std::string text = bytes;
        for (int k = 0; k < 1 + static_cast<int>(next() % 3); ++k)
            text[next() % text.size()] = noise[next() % noise.size()];
        attempt(text);
    }
    EXPECT_GT(decodeErrors, 50);
    EXPECT_GT(refusals + loaded, 0);
}

TEST_F(StoreTest, NamedPipeOrFolderAtTheDocumentPathIsRefusedWithoutBlocking) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_THROW(ReviewStore::load(path), fs::filesystem_error);
    EXPECT_THROW(ReviewStore::save(fresh, path, std::nullopt), fs::filesystem_error);
    EXPECT_TRUE(fs::is_fifo(path));
    EXPECT_TRUE(lockIsFree(path));
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_THROW(ReviewStore::save(fresh, path, 0), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(path));
}

TEST_F(StoreTest, ALockThatCannotBeCreatedStopsTheSave) {
    ReviewStore::save(fresh, path, std::nullopt);
    const std::string saved = readText(path);
    ReviewDocument next = fresh;
    next.revision = 1;
    const fs::path lock = ReviewStore::lockPath(path);
    fs::remove(lock);
    fs::create_directory(lock);
    EXPECT_EQ(refusalOf([&] { ReviewStore::save(next, path, 0); }), (Refusal{"lockFailed", ReviewStore::cannotLockMessage}));
    fs::remove(lock);
    fs::create_symlink(temp.path() / "elsewhere", lock);
    EXPECT_EQ(refusalOf([&] { ReviewStore::save(next, path, 0); }), (Refusal{"lockFailed", ReviewStore::cannotLockMessage}));
    EXPECT_FALSE(fs::exists(temp.path() / "elsewhere")) << "the lock file is never created through a link";
    EXPECT_EQ(readText(path), saved);
}
