#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/FeasibilityRunner.h"

using namespace torvane;
using namespace torvane::test;

namespace {

const std::string head =
    "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width,initial-scale=1\"><title>Pose feasibility inspection</title>\n<style>body{font:16px "
    "system-ui;background:#101519;color:#edf1f5;max-width:1000px;margin:32px auto;padding:16px}section{border-top:1px "
    "solid #64748b;padding:16px 0}section div{display:flex;flex-wrap:wrap;gap:24px}figure{margin:0}img{max-width:100%;"
    "image-rendering:auto}figcaption{padding:8px 0}p{max-width:75ch;color:#ced6df}</style>\n<h1>";
const std::string intro =
    "</h1><p>Feasibility inspection only \xE2\x80\x94 no coaching or verified 3D anatomy.</p><p>Yellow: selected "
    "rider crop. Cyan: raw Vision joints (2D points below 0.2 confidence hidden). Numbers: fixed joint IDs shared "
    "across every image and both pose types. Each PNG includes its own legend beside the photo; expand the table "
    "for source coordinates. Left/right always means the rider\xE2\x80\x99s anatomy. Pink circles: provisional "
    "source-only references and their uncertainty. Source pixels are preserved beneath annotations.</p><p>";

FeasibilityReport report(std::vector<CropReport> crops = {}) {
    FeasibilityReport r;
    r.session = "Day <1> & \"wet\" 'laps' &lt;";
    r.annotationProvenance = "coach's marks";
    r.crops = std::move(crops);
    return r;
}

CropReport crop(const std::string& id, const std::string& role) {
    CropReport c;
    c.pairID = id;
    c.role = role;
    c.rider = "R&D";
    return c;
}

std::string emptyFigure(const std::string& file, const std::string& title, const std::string& kind) {
    return "<figure><img src=\"" + file + "\" alt=\"" + title + " " + kind + " inspection\"><figcaption>" + kind +
           " \xE2\x80\x94 unreviewed</figcaption><details><summary>Joint key and source pixel coordinates</summary>"
           "<table><tr><th>ID</th><th>Joint</th><th>x, y</th></tr></table></details></figure>";
}

}  // namespace

TEST(RunPage, ReportWithoutCropsIsHeadIntroAndProvenance) {
    EXPECT_EQ(FeasibilityRunner::html(report()),
              head + "Day &lt;1&gt; &amp; &quot;wet&quot; 'laps' &amp;lt;" + intro + "coach's marks</p></html>");
}

TEST(RunPage, SectionsShowStatusNoteFiguresAndSortedRows) {
    auto first = crop("A001", "subject");
    first.error = "Cannot create output PNG.";
    PoseResult two;
    two.kind = "2D";
    two.status = "needsReview";
    JointResult knee, mystery, nose;
    knee.name = "left_knee";
    knee.point = {12.34, 7};
    knee.confidence2D = 0.05;  // listed whatever its confidence
    mystery.name = "elbow<x>";
    mystery.point = {-0.04, 1e3};
    nose.name = "nose";
    nose.point = {3.25, 4.75};
    two.joints = {nose, knee, mystery};
    first.twoD = two;
    PoseResult three;
    three.kind = "3D";
    three.status = "noPose";
    three.message = "No person found.";
    first.threeD = three;

    auto second = crop("A002", "reference");
    second.threeD = three;  // no error: the 3-D message shows
    auto third = crop("A003", "subject");  // neither: empty note

    const std::string page = FeasibilityRunner::html(report({first, second, third}));
    const std::string title = "A001 \xC2\xB7 subject \xC2\xB7 R&amp;D";
    const std::string firstSection =
        "<section><h2>" + title + "</h2><p>3D: noPose \xC2\xB7 2D: needsReview</p><p>Cannot create output PNG.</p><div>" +
        emptyFigure("A001-subject-3D.png", title, "3D") + "<figure><img src=\"A001-subject-2D.png\" alt=\"" + title +
        " 2D inspection\"><figcaption>2D \xE2\x80\x94 unreviewed</figcaption><details><summary>Joint key and source "
        "pixel coordinates</summary><table><tr><th>ID</th><th>Joint</th><th>x, y</th></tr>"
        "<tr><td>?</td><td>elbow&lt;x&gt;</td><td>-0.0, 1000.0</td></tr>"
        "<tr><td>13</td><td>left_knee</td><td>12.3, 7.0</td></tr>"
        "<tr><td>19</td><td>nose</td><td>3.2, 4.8</td></tr>"
        "</table></details></figure></div></section>";
    const std::string secondTitle = "A002 \xC2\xB7 reference \xC2\xB7 R&amp;D";
    const std::string secondSection = "<section><h2>" + secondTitle +
                                      "</h2><p>3D: noPose \xC2\xB7 2D: unavailable</p><p>No person found.</p><div>" +
                                      emptyFigure("A002-reference-3D.png", secondTitle, "3D") +
                                      emptyFigure("A002-reference-2D.png", secondTitle, "2D") + "</div></section>";
    const std::string thirdTitle = "A003 \xC2\xB7 subject \xC2\xB7 R&amp;D";
    const std::string thirdSection = "<section><h2>" + thirdTitle +
                                     "</h2><p>3D: unavailable \xC2\xB7 2D: unavailable</p><p></p><div>" +
                                     emptyFigure("A003-subject-3D.png", thirdTitle, "3D") +
                                     emptyFigure("A003-subject-2D.png", thirdTitle, "2D") + "</div></section>";
    EXPECT_EQ(page, head + "Day &lt;1&gt; &amp; &quot;wet&quot; 'laps' &amp;lt;" + intro + "coach's marks</p>" +
                        firstSection + "\n" + secondSection + "\n" + thirdSection + "</html>");
}
