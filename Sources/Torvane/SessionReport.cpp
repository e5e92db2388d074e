#include "Torvane/SessionReport.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

#include "Torvane/ContentHash.h"
#include "Torvane/FeasibilityReport.h"
#include "Torvane/FeasibilityRunner.h"
#include "Torvane/InspectionRenderer.h"
#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/ProvisionalCoaching.h"
#include "Torvane/ReviewDecisions.h"
#include "Torvane/ReviewStore.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/Raster.h"

namespace torvane {

namespace fs = std::filesystem;

namespace {

std::string esc(std::string_view text) { return FeasibilityRunner::escape(std::string(text)); }

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string degrees(double value) { return format("%.1f", value) + "\u00b0"; }
// A signed difference with a real minus sign.
std::string signedDegrees(double value) {
    std::string text = format("%+.1f", value);
    if (text[0] == '-') text = "\u2212" + text.substr(1);
    return text + "\u00b0";
}
std::string pixels(double value) { return format("%g", value) + "\u00a0px"; }

std::string words(std::string_view joint) {
    std::string text(joint);
    for (char& c : text)
        if (c == '_') c = ' ';
    return text;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

// Each path segment percent-encoded, so ids with spaces or "#" still name their file.
std::string hrefOf(const fs::path& relative) {
    std::string out;
    for (const auto& part : relative) {
        if (!out.empty()) out += '/';
        for (unsigned char c : part.string()) {
            if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
                out.push_back(static_cast<char>(c));
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                out += hex;
            }
        }
    }
    return out;
}

// How the page reaches the run folder from where it lives.
std::string runPrefix(const fs::path& runFolder, const fs::path& pageFolder) {
    const fs::path run = platform::canonicalPath(runFolder), page = platform::canonicalPath(pageFolder);
    if (run == page) return "";
    const fs::path relative = run.lexically_relative(page);
    if (relative.empty()) return "file://" + hrefOf(run.relative_path()) + "/";
    return hrefOf(relative) + "/";
}

const char* style = R"CSS(
:root{--ink:#17202a;--muted:#52606d;--line:#cbd2d9;--accent:#c2410c}
body{font:15px/1.45 system-ui,sans-serif;color:var(--ink);background:#fff;max-width:1100px;margin:24px auto;padding:0 16px}
h1{font-size:26px;margin:0 0 4px}h2{font-size:21px;margin:0 0 8px}h3{font-size:16px;margin:18px 0 6px}
.meta,.note,.why{color:var(--muted)}.note{font-size:13px}
section.pair{border-top:2px solid var(--ink);padding-top:14px;margin-top:28px}
.photos{display:flex;gap:16px;flex-wrap:wrap}
figure{margin:0;flex:1 1 300px;max-width:calc(50% - 8px);min-width:240px}
figure svg{width:100%;height:auto;max-height:115mm;background:#222;display:block}
figcaption{font-size:13px;padding:4px 0}
table{border-collapse:collapse;width:100%;margin:4px 0}
th,td{border:1px solid var(--line);padding:4px 6px;text-align:left;vertical-align:top}
th{background:#f1f4f7;font-weight:600}td.num{white-space:nowrap}td.num .why{white-space:normal}
.cue{display:block;color:var(--muted);font-size:12px}
ul.bullets li{margin-bottom:6px}.provenance{color:var(--muted);font-size:12px}
.bone{stroke:var(--accent);stroke-linecap:round}.joint{fill:#fff;stroke:var(--accent)}
.num-label{fill:#fff;paint-order:stroke;stroke:#000;font-family:monospace}
table.angles td:first-child,table.angles th:first-child{white-space:nowrap}
table.checklist th:nth-child(1){width:56%}table.checklist th:nth-child(2){width:16%}
@page{margin:14mm}
@media print{
 body{margin:0;max-width:none;padding:0;font-size:10.5pt}
 section.pair{border-top:none;margin-top:14px;padding-top:0}
 section.pair+section.pair{break-before:page;margin-top:0}
 figure,table.keep,tr,ul.bullets li,.keep{break-inside:avoid}
 thead{display:table-header-group}
 h2,h3,.meta{break-after:avoid}
 figure svg{max-height:85mm}
 table.decisions td{white-space:nowrap}
 a{color:inherit;text-decoration:none}
 nav{display:none}
}
)CSS";

struct Context {
    const FeasibilityReport& report;
    const ReviewDocument& document;
    std::optional<std::map<std::string, CoachingChecklistReview>> checklists;
    std::string checklistProblem;
    std::optional<std::map<std::string, SinglePhotoCoaching>> singleCoaching;
    std::string singleCoachingProblem;
    fs::path runFolder;
    std::string prefix;
};

const CropReport* cropOf(const FeasibilityReport& report, const ReviewFrame& frame) {
    for (const auto& crop : report.crops)
        if (crop.pairID == frame.pairID && crop.role == frame.role) return &crop;
    return nullptr;
}

std::string skeleton(const ReviewFrame& frame, double scale) {
    std::map<std::string_view, Point2> points;
    for (auto name : jointNames)
        if (auto p = frame.reviewedPoint(name)) points.emplace(name, Point2{p->x - frame.panel.x, p->y - frame.panel.y});
    std::string out;
    const std::string width = format("%.2f", 2.5 * scale);
    for (const auto& [from, to] : InspectionRenderer::bones) {
        auto a = points.find(from), b = points.find(to);
        if (a == points.end() || b == points.end()) continue;
        out += "<line class=\"bone\" stroke-width=\"" + width + "\" x1=\"" + format("%.2f", a->second.x) + "\" y1=\"" +
               format("%.2f", a->second.y) + "\" x2=\"" + format("%.2f", b->second.x) + "\" y2=\"" +
               format("%.2f", b->second.y) + "\"/>";
    }
    for (const auto& [name, p] : points) {
        const std::string id = std::to_string(*jointID(name));
        out += "<circle class=\"joint\" stroke-width=\"" + format("%.2f", 1.2 * scale) + "\" cx=\"" +
               format("%.2f", p.x) + "\" cy=\"" + format("%.2f", p.y) + "\" r=\"" + format("%.2f", 3.5 * scale) +
               "\"><title>" + esc(words(name)) + "</title></circle><text class=\"num-label\" stroke-width=\"" +
               format("%.2f", 2 * scale) + "\" font-size=\"" + format("%.1f", 11 * scale) + "\" x=\"" +
               format("%.2f", p.x + 5 * scale) + "\" y=\"" + format("%.2f", p.y - 5 * scale) + "\">" + id + "</text>";
    }
    return out;
}

std::string jointSummary(const ReviewFrame& frame) {
    int reviewed = 0;
    std::vector<std::string> hidden, uncertain, open;
    for (auto name : jointNames) {
        auto edit = frame.edits.find(std::string(name));
        if (edit == frame.edits.end())
            open.push_back(words(name));
        else if (edit->second.state == JointReviewState::occluded)
            hidden.push_back(words(name));
        else if (edit->second.state == JointReviewState::uncertain)
            uncertain.push_back(words(name));
        else
            ++reviewed;
    }
    std::string out = std::to_string(reviewed) + " of " + std::to_string(jointNames.size()) +
                      " joints reviewed";
    if (!hidden.empty()) out += " \u00b7 hidden: " + join(hidden, ", ");
    if (!uncertain.empty()) out += " \u00b7 uncertain (excluded): " + join(uncertain, ", ");
    if (!open.empty()) out += " \u00b7 not reviewed (excluded): " + join(open, ", ");
    return esc(out);
}

std::string photo(const Context& c, const ReviewFrame& frame) {
    const std::string title = frame.role == "subject" ? "Subject" : "Reference";
    std::string caption = "<figcaption><b>" + esc(title + ": " + frame.rider) + "</b> \u00b7 " + jointSummary(frame) +
                          "</figcaption>";
    const CropReport* crop = cropOf(c.report, frame);
    std::optional<std::string> picture;
    std::optional<platform::ImageHeader> header;
    for (const char* kind : {"2D", "3D"}) {
        const std::string name = frame.pairID + "-" + frame.role + "-" + kind + ".png";
        if (!platform::entryExists(c.runFolder / name)) continue;
        header = platform::readImageHeader(c.runFolder / name);
        if (header) {
            picture = name;
            break;
        }
    }
    if (!picture) {
        std::string why = "No inspection picture in the run folder";
        if (crop && crop->error) why += ": " + *crop->error;
        return "<figure><p class=\"why\">" + esc(why + ".") + "</p>" + caption + "</figure>";
    }
    const PixelRect& panel = frame.panel;
    // The picture holds the panel unscaled at its top-left corner, its legend beside it;
    // an inner viewport of the panel's size clips the legend away.
    const double scale = std::max(1.0, std::max(panel.width, panel.height) / 700);
    return "<figure><svg viewBox=\"0 0 " + format("%g", panel.width) + " " + format("%g", panel.height) +
           "\" role=\"img\" aria-label=\"" + esc(title + " with reviewed skeleton") + "\"><svg width=\"" +
           format("%g", panel.width) + "\" height=\"" + format("%g", panel.height) + "\"><image href=\"" + c.prefix +
           hrefOf(*picture) + "\" width=\"" + std::to_string(header->storedWidth) + "\" height=\"" +
           std::to_string(header->storedHeight) + "\"/></svg>" + skeleton(frame, scale) + "</svg>" + caption +
           "</figure>";
}

std::string measurementText(const PairMeasurement& m) {
    if (m.angle) return degrees(*m.angle);
    if (m.unavailable == MeasurementUnavailable::invalidGeometry)
        return "<span class=\"why\">unavailable: the reviewed joints do not form an angle</span>";
    std::vector<std::string> missing;
    for (const auto& joint : m.missingJoints) missing.push_back(words(joint));
    return "<span class=\"why\">unavailable: no reviewed position for " + esc(join(missing, ", ")) + "</span>";
}

// Two decisions a row, so that the decisions fit on the page with the photos.
std::string decisions(const PairContext& context) {
    auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
    std::vector<std::pair<std::string, std::string>> cells{
        {"Subject joints confirmed", yes(context.subjectConfirmed)},
        {"Reference joints confirmed", yes(context.referenceConfirmed)},
        {"Corner direction", std::string(enumName(context.cornerDirection))},
        {"", ""}};
    for (PairFeature feature : allCases<PairFeature>()) {
        auto found = context.comparability.find(feature);
        const ViewComparability value = found == context.comparability.end() ? ViewComparability::unreviewed : found->second;
        const char* view = value == ViewComparability::comparable      ? "comparable"
                           : value == ViewComparability::notComparable ? "not comparable"
                                                                        : "not reviewed";
        cells.emplace_back(std::string(label(feature)) + " view", view);
    }
    for (PairFeature knee : {PairFeature::leftKnee, PairFeature::rightKnee}) {
        KneePlacement placement = KneePlacement::unreviewed;
        if (context.kneePlacement)
            if (auto found = context.kneePlacement->find(knee); found != context.kneePlacement->end())
                placement = found->second;
        cells.emplace_back(std::string(label(knee)) + " placement", std::string(label(placement)));
    }
    std::string out = "<table class=\"keep decisions\"><tr><th>Decision</th><th>Value</th><th>Decision</th><th>Value</th></tr>";
    for (std::size_t i = 0; i + 1 < cells.size(); i += 2)
        out += "<tr><td>" + esc(cells[i].first) + "</td><td>" + esc(cells[i].second) + "</td><td>" +
               esc(cells[i + 1].first) + "</td><td>" + esc(cells[i + 1].second) + "</td></tr>";
    return out + "</table>";
}

std::string angles(const PairReport& report) {
    std::string out =
        "<table class=\"keep angles\"><tr><th>Feature</th><th>Subject</th><th>Reference</th><th>Subject \u2212 "
        "reference</th></tr>";
    for (const auto& o : report.observations) {
        out += "<tr data-feature=\"" + esc(enumName(o.feature)) + "\"><td>" + esc(label(o.feature)) +
               "</td><td class=\"num\">" + measurementText(o.subject) + "</td><td class=\"num\">" +
               measurementText(o.reference) + "</td><td class=\"num\">" +
               (o.delta ? signedDegrees(*o.delta) : "<span class=\"why\">" + esc(*o.comparisonUnavailable) + "</span>") +
               "</td></tr>";
    }
    out += "</table><p class=\"note\">Included joint angles in each photo's image plane, in degrees (180\u00b0 = "
           "straight), from reviewed joints only.</p>";
    if (!report.focus.empty()) {
        out += "<h3>Focus points</h3><ul class=\"bullets\">";
        for (const auto& f : report.focus)
            out += "<li>" + esc(f.suggestion) + " <span class=\"provenance\">" + esc(f.limitation) + "</span></li>";
        out += "</ul>";
    }
    out += "<p class=\"note\">Rule catalogue " + esc(report.catalogVersion) + ": " +
           std::to_string(report.activeRuleCount) + " reviewed rule" + (report.activeRuleCount == 1 ? "" : "s") +
           (report.focus.empty() ? ", no focus points." : ".") + "</p>";
    return out;
}

std::string leanRow(const ReviewDocument& document, const ReviewFrame& frame) {
    const std::string who = frame.role == "subject" ? "Subject" : "Reference";
    auto found = document.leanAnnotations.find(frame.id);
    std::string cells;
    if (found == document.leanAnnotations.end()) {
        cells = "<td colspan=\"3\" class=\"why\">No wheel line drawn on this photo.</td>";
    } else {
        const LeanAnnotation& a = found->second;
        std::string basis(label(a.basis));
        if (a.basis == LeanBasis::sharedFeature && !a.featureID.empty()) basis += " \u201c" + a.featureID + "\u201d";
        std::string value;
        if (a.state == LeanState::unavailable) {
            value = "<span class=\"why\">unavailable: marked unavailable by the reviewer</span>";
        } else if (auto m = LeanAnalysis::measure(a)) {
            value = degrees(m->angle) + " (" + degrees(m->lower) + " to " + degrees(m->upper) + ")";
        } else {
            value = "<span class=\"why\">unavailable: no valid wheel line" +
                    std::string(a.basis == LeanBasis::imageVertical ? "" : " or reference line") +
                    " for this basis</span>";
        }
        const std::string uncertainty = a.wheel ? " \u00b1" + pixels(a.wheel->uncertainty) : "";
        cells = "<td>" + esc(basis) + "</td><td>" + esc(std::string(enumName(a.state))) + uncertainty +
                "</td><td class=\"num\">" + value + "</td>";
    }
    return "<tr><td>" + esc(who) + "</td>" + cells + "</tr>";
}

std::string lean(const ReviewDocument& document, const ReviewPair& pair) {
    std::string out = "<table class=\"keep\"><tr><th>Photo</th><th>Basis</th><th>State \u00b7 endpoint "
                      "uncertainty</th><th>Apparent wheel angle</th></tr>";
    for (const auto& id : pair.frameIDs())
        if (const ReviewFrame* frame = document.frame(id)) out += leanRow(document, *frame);
    out += "</table>";
    try {
        const LeanComparison comparison = LeanAnalysis::compare(document, pair);
        if (comparison.measurement) {
            const auto& m = *comparison.measurement;
            out += "<p><b>Subject \u2212 reference: " + signedDegrees(m.angle) + " (" + signedDegrees(m.lower) + " to " +
                   signedDegrees(m.upper) + ").</b> " + esc(comparison.summary) + "</p>";
        } else {
            out += "<p class=\"why\">Comparison unavailable: " + esc(comparison.summary) + "</p>";
        }
    } catch (const std::exception& e) {
        out += "<p class=\"why\">Comparison unavailable: " + esc(describeError(e)) + "</p>";
    }
    return out + "<p class=\"note\">" + esc(LeanAnalysis::limitations) + "</p>";
}

std::string coaching(const PairReport& report) {
    const auto bullets = report.coaching();
    std::string out;
    if (bullets.empty()) {
        out = report.effectiveCornerDirection() == CornerDirection::unknown
                  ? "<p class=\"why\">No coaching bullets: the corner direction is not set, so inside and outside "
                    "limbs cannot be named.</p>"
                  : "<p class=\"why\">No coaching bullets: no compared elbow differs from the reference by 10\u00b0 "
                    "or more, and no knee placement judgement calls for one.</p>";
    } else {
        out = "<ul class=\"bullets\">";
        for (const auto& b : bullets)
            out += "<li><b>" + esc(b.title) + "</b><br>" + esc(b.detail) + " <span class=\"provenance\">(" +
                   esc(b.provenance + ", " + b.version) + ")</span></li>";
        out += "</ul>";
    }
    return out + "<p class=\"note\">Limitations: " + esc(PairReport::limitations) + "</p>";
}

std::string singleCoaching(const Context& c, const ReviewFrame& frame) {
    std::string out = "<h3>Single-photo coaching</h3>";
    if (!c.singleCoaching)
        return out + "<p class=\"why\">Single-photo coaching unavailable: " + esc(c.singleCoachingProblem) + "</p>";
    auto found = c.singleCoaching->find(frame.id);
    if (found == c.singleCoaching->end())
        return out + "<p class=\"why\">No single-photo coaching imported for this photo.</p>";
    out += "<ul class=\"bullets\">";
    for (const auto& point : found->second.points)
        out += "<li><b>" + esc(point.title) + "</b><br>" + esc(point.detail) + "</li>";
    return out + "</ul><p class=\"note\">Written by " + esc(found->second.provenance) +
           " for this photo and panel. From one 2-D photo: nothing about depth, pressure or physical lean is "
           "established.</p>";
}

std::string checklist(const Context& c, const ReviewFrame& frame) {
    std::string out = "<h3>Coaching checklist \u00b7 " + esc(frame.rider) + "</h3>";
    if (!c.checklists) return out + "<p class=\"why\">Checklist unavailable: " + esc(c.checklistProblem) + "</p>";
    std::optional<CoachingChecklistReview> review;
    if (auto found = c.checklists->find(frame.id); found != c.checklists->end()) review = found->second;
    if (review)
        out += "<p class=\"meta\">Reviewed by " + esc(review->provenance) + " \u00b7 corner " +
               esc(enumName(review->cornerDirection)) + " \u00b7 catalogue " + esc(review->catalogVersion) + "</p>";
    else
        out += "<p class=\"meta why\">No checklist saved for this photo: every topic still needs photo review.</p>";
    // Long enough to cross a page: rows stay whole and the header repeats.
    out += "<table class=\"checklist\"><thead><tr><th>Topic</th><th>Status</th><th>Observation</th></tr></thead>";
    for (const auto& item : CoachingChecklist::rows(review))
        out += "<tr data-topic=\"" + esc(enumName(item.topic)) + "\"><td>" + esc(title(item.topic)) +
               "<span class=\"cue\">" + esc(cue(item.topic)) + "</span></td><td>" + esc(label(item.status)) +
               "</td><td>" + esc(item.observation) + "</td></tr>";
    return out + "</table>";
}

std::string section(const Context& c, const ReviewPair& pair) {
    const ReviewFrame* subject = c.document.frame(pair.subjectID);
    const ReviewFrame* reference = pair.referenceID ? c.document.frame(*pair.referenceID) : nullptr;
    std::string heading = "Pair " + pair.id + ": " + subject->rider;
    if (reference) heading += " and " + reference->rider;
    std::string out = "<section class=\"pair\" id=\"pair-" + esc(pair.id) + "\"><h2>" + esc(heading) +
                      "</h2><div class=\"photos\">" + photo(c, *subject) + (reference ? photo(c, *reference) : "") +
                      "</div><p class=\"note\">Orange: reviewed joints (corrected or confirmed) with their numbers; "
                      "cyan in the picture: the detector's unreviewed proposal.</p>";
    if (!reference) {
        out += "<p class=\"why\">No reference rider in this pair: angle, lean and coaching comparisons are "
               "unavailable.</p>" + singleCoaching(c, *subject);
    } else {
        try {
            const PairReport report = PairAnalysis::analyze(c.document, pair);
            out += "<h3>Comparison decisions</h3>" + decisions(report.context) + "<h3>Joint angles</h3>" +
                   angles(report) + "<h3>Wheel lean</h3>" + lean(c.document, pair) + "<h3>Coaching</h3>" +
                   coaching(report);
        } catch (const std::exception& e) {
            out += "<p class=\"why\">Pair analysis unavailable: " + esc(describeError(e)) + "</p>";
        }
    }
    return out + checklist(c, *subject) + "</section>";
}

}  // namespace

std::string SessionReport::html(const fs::path& resultsPath, const fs::path& pageFolder) {
    const std::string resultsBytes = platform::readFile(resultsPath);
    const auto report = json::decodeText<FeasibilityReport>(resultsBytes);
    const fs::path documentPath = ReviewStore::documentPath(resultsPath);
    if (!platform::entryExists(documentPath)) throw PoseError(PoseErrorCode::notFound, noReviewMessage);
    const ReviewDocument document = ReviewStore::load(documentPath);
    if (document.reportHash != contentHash(resultsBytes))
        throw PoseError(PoseErrorCode::changedEvidence, ReviewStore::differentEvidenceMessage);

    Context c{report,          document, std::nullopt, "", std::nullopt, "", resultsPath.parent_path(),
              runPrefix(resultsPath.parent_path(), pageFolder)};
    try {
        c.checklists = ChecklistStore::load(ChecklistStore::path(documentPath), document.frames);
    } catch (const std::exception& e) {
        c.checklistProblem = describeError(e);
    }
    try {
        c.singleCoaching = SinglePhotoCoachingStore::load(SinglePhotoCoachingStore::path(documentPath), document.frames);
    } catch (const std::exception& e) {
        c.singleCoachingProblem = describeError(e);
    }

    const auto pairs = PairReview::resolve(document.frames);
    std::string page = "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
                       "content=\"width=device-width,initial-scale=1\"><title>" +
                       esc("Session report \u00b7 " + report.session) + "</title><style>" + style +
                       "</style><header><h1>" + esc(report.session) + "</h1><p class=\"meta\">Session report from the "
                       "saved joint review, revision " + std::to_string(document.revision) + " \u00b7 detection run " +
                       esc(report.generatedAt) + " \u00b7 pair analysis version " + PairAnalysis::version +
                       " \u00b7 checklist catalogue " + CoachingChecklist::version + "</p><p class=\"note\">Everything "
                       "here comes from single 2-D photos: angles are in each photo's image plane, nothing is "
                       "claimed about depth, pressure or physical lean, and only joints a person reviewed are "
                       "measured.</p><nav><ul>";
    for (const auto& pair : pairs)
        page += "<li><a href=\"#pair-" + esc(hrefOf(pair.id)) + "\">" + esc("Pair " + pair.id) + "</a></li>";
    page += "</ul></nav></header>";
    for (const auto& pair : pairs) page += section(c, pair);
    return page + "</html>\n";
}

fs::path SessionReport::write(const fs::path& resultsPath) {
    const fs::path folder = resultsPath.parent_path();
    const std::string page = html(resultsPath, folder);
    const fs::path path = folder / (std::string(prefix) + contentHash(page).substr(0, 12) + ".html");
    // The name follows the content: the same report again is the file already there.
    if (platform::publishExclusively(path, page)) return path;
    if (platform::entryAttributes(path).isRegularFile && platform::readFile(path) == page) return path;
    throw PoseError(PoseErrorCode::outputExists, "Another file already has the report's name " + path.filename().string() +
                                  "; it was left as it is.");
}

void SessionReport::write(const fs::path& resultsPath, const fs::path& out) {
    const fs::path folder = out.parent_path().empty() ? fs::path(".") : out.parent_path();
    if (!platform::publishExclusively(out, html(resultsPath, folder)))
        throw PoseError(PoseErrorCode::outputExists, "The report was not written: " + out.string() + " already exists.");
}

}  // namespace torvane
