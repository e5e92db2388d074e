// session.json: which photos belong to a session, which riders appear where, and who is
// compared with whom.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Localization.h"

namespace torvane {

struct RiderInput {
    std::string role;  // "subject" or "reference"
    std::string rider;
    std::optional<std::string> file;  // absent: the pair's photo
    PixelRect panel;
    PixelRect crop;
    std::vector<Landmark> annotations;
    std::optional<double> torsoLength;
    std::string annotationNote;

    bool operator==(const RiderInput&) const = default;
    template <class V> void fields(V& v) {
        v("annotationNote", annotationNote); v("annotations", annotations); v("crop", crop); v("file", file);
        v("panel", panel); v("rider", rider); v("role", role); v("torsoLength", torsoLength);
    }
};

struct PairInput {
    std::string id;
    std::string file;
    std::vector<RiderInput> riders;

    // The rider with that role, if the pair has one.
    const RiderInput* rider(const std::string& role) const;

    bool operator==(const PairInput&) const = default;
    template <class V> void fields(V& v) { v("file", file); v("id", id); v("riders", riders); }
};

struct SessionManifest {
    std::int64_t schemaVersion = 1;
    std::string session;
    std::string annotationProvenance;
    std::vector<PairInput> pairs;

    static constexpr const char* schemaMessage = "Unsupported schema, empty manifest, or duplicate pair IDs.";
    static constexpr const char* entryMessage =
        "Each entry needs a safe ID and one subject, with at most one reference.";

    // The longest pair ID: its pictures "ID-reference-3D.png" must fit in a file name.
    static constexpr std::size_t maxIDLength = 255 - std::char_traits<char>::length("-reference-3D.png");

    // Reads, decodes and validates the manifest at `path`; every photo path of the
    // result has been resolved inside the session folder. `bytes`, when given, receives
    // the exact text that was decoded, so its hash vouches for this manifest.
    static SessionManifest load(const std::filesystem::path& path, std::string* bytes = nullptr);

    // The photo of `rider` (or of the pair when rider is null), resolved against the
    // folder that holds the manifest; refuses absolute paths and paths that lead out.
    static std::filesystem::path assetURL(const PairInput& pair, const RiderInput* rider,
                                          const std::filesystem::path& manifestPath);

    // Whether `id` is a safe pair ID: ASCII letters, digits, "_" and "-", not empty, at
    // most maxIDLength characters.
    static bool isSafeID(const std::string& id);

    bool operator==(const SessionManifest&) const = default;
    template <class V> void fields(V& v) {
        v("annotationProvenance", annotationProvenance); v("pairs", pairs); v("schemaVersion", schemaVersion);
        v("session", session);
    }
};

}  // namespace torvane
