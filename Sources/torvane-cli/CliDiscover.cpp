// discover: the main job. Finds the sessions of a data folder, writes manifests for photo
// folders, reuses matching results and analyses the rest, then says what to open.
#include <iostream>

#include "Cli.h"
#include "Torvane/SessionDiscovery.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane::cli {

namespace {

namespace fs = std::filesystem;

std::map<fs::path, fs::path> knownResults(const Args& a) {
    std::map<fs::path, fs::path> known;
    for (const auto& entry : a.all("--known")) {
        // Split at the first "=": a manifest path holding "=" cannot be given this way.
        const auto equals = entry.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == entry.size())
            throw UsageError("--known needs SESSION_JSON=RESULTS_JSON, not '" + entry + "'");
        known[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return known;
}

// JSON text must be UTF-8: a path that is not (a Latin-1 folder name) is given escaped.
std::string jsonText(const fs::path& path) {
    const std::string text = path.string();
    return platform::isValidUTF8(text) ? text : platform::printable(text);
}

// Names come from the disk and may hold control characters (ANSI escapes): shown escaped.
std::string shown(const std::string& text) { return platform::printable(text); }
std::string shown(const fs::path& path) { return platform::printable(path.string()); }

json::Value reportJson(const SessionDiscoveryReport& report) {
    json::Value out = json::Value::object();
    out["sessions"] = json::Value::array();
    out["failures"] = json::Value::array();
    for (const auto& s : report.sessions)
        out["sessions"].push_back({{"title", s.title},
                                   {"manifestURL", jsonText(s.manifestURL)},
                                   {"resultsURL", jsonText(s.resultsURL)},
                                   {"wasAnalyzed", s.wasAnalyzed}});
    for (const auto& f : report.failures)
        out["failures"].push_back({{"folderURL", jsonText(f.folderURL)}, {"message", jsonText(f.message)}});
    return out;
}

std::string plural(std::size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

void printSummary(const fs::path& dataDirectory, const SessionDiscoveryReport& report) {
    std::size_t analysed = 0;
    for (const auto& s : report.sessions) analysed += s.wasAnalyzed ? 1 : 0;

    std::cout << "\n" << plural(report.sessions.size(), "session") << " ready";
    if (!report.failures.empty()) std::cout << ", " << plural(report.failures.size(), "problem");
    std::cout << ".\n";
    for (const auto& s : report.sessions) {
        std::cout << "  " << shown(s.title) << (s.wasAnalyzed ? "  (analysed now)" : "  (existing results still match)")
                  << "\n    results: " << shown(s.resultsURL) << "\n";
    }
    if (!report.sessions.empty() && analysed == 0)
        std::cout << "Nothing was analysed: every session already has results that match its manifest and photos.\n";
    if (report.sessions.empty() && report.failures.empty())
        std::cout << "No session folders (folders holding photos or a session.json) were found in "
                  << shown(dataDirectory) << ".\n";

    if (!report.failures.empty()) {
        std::cout << "\nProblems:\n";
        for (const auto& f : report.failures) std::cout << "  " << shown(f.folderURL) << "\n    " << shown(f.message) << "\n";
    }

    std::vector<fs::path> pages;
    for (const auto& s : report.sessions) {
        const fs::path page = s.resultsURL.parent_path() / "index.html";
        if (platform::entryExists(page)) pages.push_back(page);
    }
    if (!pages.empty()) {
        std::cout << "\nOpen the inspection pages:\n";
        for (const auto& page : pages) std::cout << "  " << shown(page) << "\n";
    }
    std::cout << std::flush;
}

int discover(const Args& a) {
    const fs::path dataDirectory = a.at(0);
    const auto known = knownResults(a);
    const auto reportFile = a.optional("--report");

    std::cout << "Looking for sessions in " << shown(platform::canonicalPath(dataDirectory)) << std::endl;
    const auto report = SessionDiscovery::run(dataDirectory, known, [](const std::string& folder) {
        std::cout << "\nSession folder: " << shown(folder) << std::endl;
    });
    printSummary(dataDirectory, report);
    if (reportFile) platform::writeFileAtomically(*reportFile, json::prettyText(reportJson(report)));
    return 0;
}

}  // namespace

std::vector<Command> discoverCommands() {
    return {
        {"discover", "", "DATA_DIR [--known SESSION_JSON=RESULTS_JSON]... [--report REPORT_JSON]",
         "Find the sessions in a data folder, write manifests for photo folders, reuse results that still match "
         "and analyse the rest; --known names the results file last used for a manifest, --report writes the "
         "outcome as JSON.",
         {}, {"--known", "--report"}, 1, discover},
    };
}

}  // namespace torvane::cli
