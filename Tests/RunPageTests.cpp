// The run's inspection page (index.html): what it must say about each rider, escaped.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/FeasibilityRunner.h"

using namespace torvane;
using namespace torvane::test;

namespace {

CropReport crop(const std::string& id, const std::string& role) {
    CropReport c;
    c.pairID = id;
    c.role = role;
    c.rider = "R&D";
    return c;
}

PoseResult result(const std::string& kind, const std::string& status, std::vector<JointResult> joints = {}) {
    PoseResult r;
    r.kind = kind;
    r.status = status;
    r.joints = std::move(joints);
    return r;
}

}  // namespace

TEST(RunPage, SaysWhatEachRiderGotEscapedWithSortedJointRows) {
    auto failed = crop("A001", "subject");
    failed.error = "Cannot create output PNG.";
    failed.twoD = result("2D", "needsReview", {{"nose", {3.25, 4.75}, std::nullopt, 0.9, std::nullopt},
                                               {"left_knee", {12.34, 7}, std::nullopt, 0.05, std::nullopt},
                                               {"elbow<x>", {-0.04, 1e3}, std::nullopt, std::nullopt, std::nullopt}});
    failed.threeD = result("3D", "noPose");
    failed.threeD->message = "No person found.";
    auto noted = crop("A002", "reference");
    noted.threeD = failed.threeD;
    FeasibilityReport report;
    report.session = "Day <1> & \"wet\" 'laps' &lt;";
    report.annotationProvenance = "coach's marks";
    // Ids from a hand-edited results file end up in picture names too.
    report.crops = {failed, noted, crop("A003\" onerror=\"alert(1)", "subject<script>")};
    const std::string page = FeasibilityRunner::html(report);

    const std::string title = "A001 \u00b7 subject \u00b7 R&amp;D";
    const struct {
        const char* what;
        std::string text;
    } expected[] = {
        {"escaped session", "<h1>Day &lt;1&gt; &amp; &quot;wet&quot; 'laps' &amp;lt;</h1>"},
        {"no claims", "Feasibility inspection only \u2014 no coaching or verified 3D anatomy."},
        {"provenance", "<p>coach's marks</p>"},
        {"escaped rider", "<h2>" + title + "</h2>"},
        {"both statuses", "<p>3D: noPose \u00b7 2D: needsReview</p>"},
        {"the error before the detector's message", "<p>Cannot create output PNG.</p>"},
        {"the message without an error", "<p>3D: noPose \u00b7 2D: unavailable</p><p>No person found.</p>"},
        {"an empty note without either", "<p>3D: unavailable \u00b7 2D: unavailable</p><p></p>"},
        {"picture and its text", "<img src=\"A001-subject-2D.png\" alt=\"" + title + " 2D inspection\">"},
        {"escaped picture name", "src=\"A003&quot; onerror=&quot;alert(1)-subject&lt;script&gt;-3D.png\""},
        {"rows by name, one decimal, whatever the confidence",
         "<tr><td>?</td><td>elbow&lt;x&gt;</td><td>-0.0, 1000.0</td></tr><tr><td>13</td><td>left_knee</td><td>12.3, 7.0</td>"
         "</tr><tr><td>19</td><td>nose</td><td>3.2, 4.8</td></tr></table>"},
    };
    for (const auto& e : expected) EXPECT_TRUE(contains(page, e.text)) << e.what;
    EXPECT_EQ(page.find("<section>"), page.find("<section><h2>" + title));
    EXPECT_EQ(page.rfind("<section>"), page.find("<section><h2>A003"));
    EXPECT_EQ(page.substr(page.size() - 7), "</html>");
    EXPECT_FALSE(contains(page, "Day <1>") || contains(page, "onerror=\"") || contains(page, "<script>"));
}
