// The printable session report a coach hands to the rider: for every pair the photos with
// the reviewed skeletons, the joint-angle table, the wheel-lean comparison, the coaching
// bullets with their limitations and the photo's checklist, from the saved review alone.
#pragma once

#include <filesystem>
#include <string>

namespace torvane {

struct SessionReport {
    static constexpr const char* noReviewMessage =
        "No saved review for this results file yet; review the session before making its report.";
    static constexpr const char* prefix = "session-report-";

    // The page for a results file, its saved review document and checklists. Pictures are
    // the run's inspection pictures, referenced relative to `pageFolder`, where the page
    // is going to live, with the reviewed skeleton drawn over them.
    static std::string html(const std::filesystem::path& resultsPath, const std::filesystem::path& pageFolder);

    // Writes the page into the run folder as "session-report-" + the first 12 digits of the
    // page's content hash + ".html", created exclusively; an identical page already there
    // is reused, anything else there is never replaced. Returns its path.
    static std::filesystem::path write(const std::filesystem::path& resultsPath);

    // Writes the page to `out`, which must not exist yet.
    static void write(const std::filesystem::path& resultsPath, const std::filesystem::path& out);
};

}  // namespace torvane
