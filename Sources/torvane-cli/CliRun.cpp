// The feasibility run and its inspection page.
#include <iostream>

#include "Cli.h"
#include "Torvane/FeasibilityRunner.h"

namespace torvane::cli {

namespace {

int analyze(const Args& a) {
    // The runner's progress lines are all that goes to stdout.
    FeasibilityRunner::run(a.at(0), a.at(1), {},
                           [](const std::string& line) { std::cout << line << '\n' << std::flush; });
    return 0;
}

int reportPage(const Args& a) {
    std::cout << FeasibilityRunner::html(readRecord<FeasibilityReport>(a.at(0))) << std::flush;
    return 0;
}

}  // namespace

std::vector<Command> runCommands() {
    return {
        {"analyze", "", "SESSION_JSON OUTPUT_DIR",
         "Detect every rider of a session into a new run folder (pictures, results.json, index.html).",
         {}, {}, 2, analyze},
        {"report", "page", "RESULTS_JSON", "Print the inspection page (index.html) built from a results file.", {}, {},
         1, reportPage},
    };
}

}  // namespace torvane::cli
