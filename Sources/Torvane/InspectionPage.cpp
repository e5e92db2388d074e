// The inspection page of a run folder (index.html), built from the report alone.
#include <algorithm>
#include <cstdio>

#include "Torvane/FeasibilityRunner.h"
#include "Torvane/PoseResult.h"

namespace torvane {

std::string FeasibilityRunner::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    // One pass is the same as the four replacements in order (& first), since no
    // replacement produces a character that a later one would replace.
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

namespace {

std::string rows(const std::optional<PoseResult>& result) {
    if (!result) return {};
    std::vector<const JointResult*> joints;
    for (const auto& joint : result->joints) joints.push_back(&joint);
    std::stable_sort(joints.begin(), joints.end(), [](const auto* a, const auto* b) { return a->name < b->name; });
    std::string out;
    for (const auto* joint : joints) {
        auto id = jointID(joint->name);
        char point[128];
        std::snprintf(point, sizeof point, "%.1f, %.1f", joint->point.x, joint->point.y);
        out += "<tr><td>" + (id ? std::to_string(*id) : std::string("?")) + "</td><td>" +
               FeasibilityRunner::escape(joint->name) + "</td><td>" + point + "</td></tr>";
    }
    return out;
}

std::string figure(const CropReport& crop, const std::string& title, const std::string& kind,
                   const std::optional<PoseResult>& result) {
    // A results file can be edited by hand: its IDs are text like any other, escaped.
    const std::string picture = FeasibilityRunner::escape(crop.pairID + "-" + crop.role + "-" + kind + ".png");
    return "<figure><img src=\"" + picture + "\" alt=\"" + title + " " + kind +
           " inspection\"><figcaption>" + kind +
           " \u2014 unreviewed</figcaption><details><summary>Joint key and source pixel coordinates</summary>"
           "<table><tr><th>ID</th><th>Joint</th><th>x, y</th></tr>" +
           rows(result) + "</table></details></figure>";
}

std::string section(const CropReport& crop) {
    const std::string title = FeasibilityRunner::escape(crop.pairID + " \u00b7 " + crop.role + " \u00b7 " + crop.rider);
    auto status = [](const std::optional<PoseResult>& r) {
        return r ? FeasibilityRunner::escape(r->status) : std::string("unavailable");
    };
    std::string note;
    if (crop.error)
        note = *crop.error;
    else if (crop.threeD && crop.threeD->message)
        note = *crop.threeD->message;
    return "<section><h2>" + title + "</h2><p>3D: " + status(crop.threeD) + " \u00b7 2D: " + status(crop.twoD) +
           "</p><p>" + FeasibilityRunner::escape(note) + "</p><div>" + figure(crop, title, "3D", crop.threeD) +
           figure(crop, title, "2D", crop.twoD) + "</div></section>";
}

}  // namespace

std::string FeasibilityRunner::html(const FeasibilityReport& report) {
    std::string page =
        "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
        "content=\"width=device-width,initial-scale=1\"><title>Pose feasibility inspection</title>\n"
        "<style>body{font:16px system-ui;background:#101519;color:#edf1f5;max-width:1000px;margin:32px "
        "auto;padding:16px}section{border-top:1px solid #64748b;padding:16px 0}section "
        "div{display:flex;flex-wrap:wrap;gap:24px}figure{margin:0}img{max-width:100%;image-rendering:auto}"
        "figcaption{padding:8px 0}p{max-width:75ch;color:#ced6df}</style>\n<h1>";
    page += escape(report.session);
    page +=
        "</h1><p>Feasibility inspection only \u2014 no coaching or verified 3D anatomy.</p><p>Yellow: selected rider "
        "crop. Cyan: raw Vision joints (2D points below 0.2 confidence hidden). Numbers: fixed joint IDs shared "
        "across every image and both pose types. Each PNG includes its own legend beside the photo; expand the "
        "table for source coordinates. Left/right always means the rider\u2019s anatomy. Pink circles: provisional "
        "source-only references and their uncertainty. Source pixels are preserved beneath annotations.</p><p>";
    page += escape(report.annotationProvenance);
    page += "</p>";
    for (std::size_t i = 0; i < report.crops.size(); ++i) {
        if (i > 0) page += "\n";
        page += section(report.crops[i]);
    }
    page += "</html>";
    return page;
}

}  // namespace torvane
