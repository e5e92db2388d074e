#include "Torvane/RiderEvaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Torvane/ImageInput.h"
#include "Torvane/platform/Canvas.h"

namespace torvane {

namespace {

constexpr double missing = std::numeric_limits<double>::infinity();

std::string otherSide(std::string_view name) {
    std::string s(name);
    if (s.rfind("left_", 0) == 0) return "right_" + s.substr(5);
    if (s.rfind("right_", 0) == 0) return "left_" + s.substr(6);
    return s;
}

bool shown(const JointResult& joint) { return !joint.confidence2D || *joint.confidence2D >= RiderEvaluation::shownConfidence; }

// The median of errors where a missing prediction is infinitely far: absent when the
// median itself is missing.
std::optional<double> median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    double m = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    if (!std::isfinite(m)) return std::nullopt;
    return m;
}

std::vector<double> errorList(const PhotoEvaluation& photo) {
    std::vector<double> values;
    for (const auto& [name, error] : photo.errors) values.push_back(error);
    values.resize(static_cast<std::size_t>(photo.visibleJoints), missing);
    return values;
}

using platform::Colour;
constexpr Colour leftColour{0.2, 1, 0.3, 1};
constexpr Colour rightColour{1, 0.55, 0.1, 1};
constexpr Colour dimColour = Colour::grey(0.6, 0.9);
constexpr Colour ringColour{1, 0.2, 0.8, 0.8};

constexpr std::pair<std::string_view, std::string_view> limbs[] = {
    {"left_shoulder", "right_shoulder"}, {"left_hip", "right_hip"}, {"left_shoulder", "left_hip"},
    {"right_shoulder", "right_hip"}, {"left_shoulder", "left_elbow"}, {"left_elbow", "left_wrist"},
    {"right_shoulder", "right_elbow"}, {"right_elbow", "right_wrist"}, {"left_hip", "left_knee"},
    {"left_knee", "left_ankle"}, {"right_hip", "right_knee"}, {"right_knee", "right_ankle"}};

Colour sideColour(std::string_view name) { return name.rfind("left_", 0) == 0 ? leftColour : rightColour; }

// Points of one side of the picture, in crop pixels; `dim` marks joints drawn as hidden.
struct Marks {
    std::map<std::string, Point2> points;
    std::map<std::string, bool> dim;
};

void drawMarks(platform::Canvas& canvas, const Marks& marks, double offsetX, double offsetY, double line) {
    for (const auto& [a, b] : limbs) {
        auto p = marks.points.find(std::string(a)), q = marks.points.find(std::string(b));
        if (p == marks.points.end() || q == marks.points.end()) continue;
        bool dim = marks.dim.at(p->first) || marks.dim.at(q->first);
        canvas.strokeLine(p->second.x + offsetX, p->second.y + offsetY, q->second.x + offsetX, q->second.y + offsetY,
                          dim ? dimColour : Colour{1, 1, 1, 0.8}, line);
    }
    for (const auto& [name, p] : marks.points)
        canvas.fillCircle(p.x + offsetX, p.y + offsetY, 2.5 * line, marks.dim.at(name) ? dimColour : sideColour(name));
}

void writePicture(const platform::Raster& crop, const RiderAnnotation& annotation, const PoseResult& pose,
                  const PhotoEvaluation& score, const std::filesystem::path& file) {
    const int w = crop.width(), h = crop.height(), header = 44, gap = 8;
    auto created = platform::Canvas::create(2 * w + gap, h + header);
    if (!created) throw PoseError(PoseErrorCode::writeFailed, "Cannot allocate renderer.");
    platform::Canvas canvas = std::move(*created);
    canvas.fill(Colour::grey(0.07));
    canvas.drawRaster(crop, 0, header);
    canvas.drawRaster(crop, w + gap, header);
    const double line = std::max(1.5, std::max(w, h) / 400.0);
    const double radius = RiderEvaluation::tolerance * annotation.height;
    const double ox = -annotation.crop.x, oy = header - annotation.crop.y;

    Marks truth, found;
    for (const auto& [name, point] : annotation.joints)
        if (point) {
            truth.points[name] = *point;
            truth.dim[name] = false;
        }
    for (const auto& joint : pose.joints)
        for (auto key : RiderEvaluation::keyJoints)
            if (joint.name == key) {
                found.points[joint.name] = joint.point;
                found.dim[joint.name] = !shown(joint);
            }
    canvas.clip(0, header, w, h);
    drawMarks(canvas, truth, ox, oy, line);
    canvas.clip(w + gap, header, w, h);
    for (const auto& [name, p] : truth.points) canvas.strokeCircle(p.x + ox + w + gap, p.y + oy, radius, ringColour, 1);
    drawMarks(canvas, found, ox + w + gap, oy, line);
    canvas.resetClip();

    canvas.text(score.photo + "  annotation (green = rider's left, orange = right)", 6, 18, 13, Colour::grey(1));
    char text[200];
    std::snprintf(text, sizeof text, "%s %s: %lld of %lld within %.0f%% (rings), %lld swapped, %lld of %lld hidden shown",
                  pose.kind.c_str(), pose.status.c_str(), static_cast<long long>(score.jointsWithin),
                  static_cast<long long>(score.visibleJoints), RiderEvaluation::tolerance * 100,
                  static_cast<long long>(score.sideSwaps), static_cast<long long>(score.hiddenShown),
                  static_cast<long long>(score.hiddenJoints));
    canvas.text(text, 6, 37, 13, Colour::grey(1));
    if (canvas.writePNG(file) != platform::PNGExport::written)
        throw PoseError(PoseErrorCode::writeFailed, "Cannot write the picture " + file.string() + ".");
}

}  // namespace

std::map<std::string, RiderAnnotation> RiderEvaluation::parse(const json::Value& document) {
    auto annotations = json::decode<std::map<std::string, RiderAnnotation>>(document);
    for (const auto& [photo, a] : annotations) {
        const PixelRect& c = a.crop;
        bool whole = std::trunc(c.x) == c.x && std::trunc(c.y) == c.y && std::trunc(c.width) == c.width &&
                     std::trunc(c.height) == c.height && c.x >= 0 && c.y >= 0 && c.width > 0 && c.height > 0;
        if (!whole) throw PoseError::invalidInput("The crop of " + photo + " is not whole pixels inside the photo.");
        if (!(a.height > 0) || !std::isfinite(a.height))
            throw PoseError::invalidInput("The rider size of " + photo + " must be a positive number of pixels.");
        for (const auto& [name, point] : a.joints)
            if (std::find(keyJoints.begin(), keyJoints.end(), name) == keyJoints.end())
                throw PoseError::invalidInput("The annotation of " + photo + " has an unknown joint " + name + ".");
    }
    return annotations;
}

PhotoEvaluation RiderEvaluation::score(const std::string& photo, const RiderAnnotation& annotation, const PoseResult& pose) {
    PhotoEvaluation e;
    e.photo = photo;
    e.status = pose.status;
    const double limit = tolerance * annotation.height;
    auto annotated = [&](const std::string& name) -> std::optional<Point2> {
        auto it = annotation.joints.find(name);
        return it == annotation.joints.end() ? std::nullopt : it->second;
    };
    for (auto key : keyJoints) {
        const std::string name(key);
        auto truth = annotated(name);
        const JointResult* found = pose.status == PoseStatus::needsReview ? pose.joint(name) : nullptr;
        if (!truth) {
            // Joints left out of the annotation are hidden as well.
            ++e.hiddenJoints;
            if (found && shown(*found)) ++e.hiddenShown;
            continue;
        }
        ++e.visibleJoints;
        // A joint drawn as hidden is not found.
        if (!found || !shown(*found)) continue;
        const double distance = found->point.distance(*truth);
        e.errors[name] = 100 * distance / annotation.height;
        if (distance <= limit) {
            ++e.jointsWithin;
        } else if (auto other = annotated(otherSide(name)); other && found->point.distance(*other) <= limit) {
            ++e.sideSwaps;
        }
    }
    e.medianError = median(errorList(e));
    return e;
}

EvaluationReport RiderEvaluation::total(std::string_view kind, std::vector<PhotoEvaluation> photos) {
    EvaluationReport r;
    r.kind = std::string(kind);
    std::vector<double> all;
    for (const auto& p : photos) {
        ++r.photos;
        if (p.status == PoseStatus::needsReview) ++r.proposals;
        r.visibleJoints += p.visibleJoints;
        r.jointsWithin += p.jointsWithin;
        r.sideSwaps += p.sideSwaps;
        r.hiddenJoints += p.hiddenJoints;
        r.hiddenShown += p.hiddenShown;
        auto errors = errorList(p);
        all.insert(all.end(), errors.begin(), errors.end());
    }
    r.medianError = median(std::move(all));
    r.perPhoto = std::move(photos);
    return r;
}

EvaluationReport RiderEvaluation::run(const std::map<std::string, RiderAnnotation>& annotations,
                                      const std::filesystem::path& photoFolder, std::string_view kind,
                                      const std::optional<std::filesystem::path>& pictures, const PoseEstimates& estimates) {
    std::vector<PhotoEvaluation> photos;
    for (const auto& [name, annotation] : annotations) {
        const auto file = photoFolder / name;
        ImageInput photo;
        try {
            photo = ImageInput::load(file);
        } catch (const std::exception& e) {
            throw PoseError(PoseErrorCode::unreadableImage, "Cannot read the annotated photo " + name + " in " + photoFolder.string() +
                                          ": " + describeError(e));
        }
        platform::Raster crop;
        try {
            crop = photo.cropped(annotation.crop);
        } catch (const std::exception& e) {
            throw PoseError(PoseErrorCode::invalidCrop, "The crop of " + name + " does not fit the photo: " + describeError(e));
        }
        PoseResult pose = kind == PoseKind::threeD ? estimates.estimate3D(crop, annotation.crop)
                                                   : estimates.estimate2D(crop, annotation.crop);
        photos.push_back(score(name, annotation, pose));
        if (pictures) writePicture(crop, annotation, pose, photos.back(), *pictures / (name + "-" + std::string(kind) + ".png"));
    }
    return total(kind, std::move(photos));
}

std::string RiderEvaluation::table(const EvaluationReport& report) {
    std::string out;
    char line[200];
    auto percent = [](std::optional<double> v) {
        char s[16];
        if (v) std::snprintf(s, sizeof s, "%.1f%%", *v); else std::snprintf(s, sizeof s, "-");
        return std::string(s);
    };
    std::snprintf(line, sizeof line, "%-16s %-12s %8s %6s %8s %8s\n", "photo", "status", "within", "swaps", "hidden",
                  "median");
    out += line;
    for (const auto& p : report.perPhoto) {
        std::snprintf(line, sizeof line, "%-16s %-12s %4lld/%-3lld %6lld %4lld/%-3lld %8s\n", p.photo.c_str(), p.status.c_str(),
                      static_cast<long long>(p.jointsWithin), static_cast<long long>(p.visibleJoints),
                      static_cast<long long>(p.sideSwaps), static_cast<long long>(p.hiddenShown),
                      static_cast<long long>(p.hiddenJoints), percent(p.medianError).c_str());
        out += line;
    }
    const double share = report.visibleJoints ? 100.0 * report.jointsWithin / report.visibleJoints : 0;
    std::snprintf(line, sizeof line,
                  "%s total: %lld of %lld crops with a pose; %lld of %lld visible joints within %.0f%% (%.0f%%); "
                  "%lld side swaps; %lld of %lld hidden joints shown; median error %s\n",
                  report.kind.c_str(), static_cast<long long>(report.proposals), static_cast<long long>(report.photos),
                  static_cast<long long>(report.jointsWithin), static_cast<long long>(report.visibleJoints),
                  tolerance * 100, share, static_cast<long long>(report.sideSwaps),
                  static_cast<long long>(report.hiddenShown), static_cast<long long>(report.hiddenJoints),
                  percent(report.medianError).c_str());
    out += line;
    return out;
}

}  // namespace torvane
