// torvane <group> <verb> [arguments]: every capability of the library from the shell.
#include <algorithm>
#include <exception>
#include <iostream>

#include "Cli.h"

using namespace torvane::cli;

namespace {

std::vector<Command> allCommands() {
    std::vector<Command> all;
    for (auto table : {foundationCommands, runCommands, reviewCommands, poseCommands, analysisCommands, discoverCommands, serveCommands}) {
        auto commands = table();
        all.insert(all.end(), commands.begin(), commands.end());
    }
    return all;
}

std::string title(const Command& c) { return "torvane " + c.group + (c.verb.empty() ? "" : " " + c.verb); }

std::string usageLine(const Command& c) { return "usage: " + title(c) + (c.usage.empty() ? "" : " " + c.usage); }

void printHelp(const std::vector<Command>& commands, const std::string& heading) {
    std::cout << heading << "\n\n";
    for (const auto& c : commands) {
        std::string left = title(c) + (c.usage.empty() ? "" : " " + c.usage);
        std::cout << "  " << left << "\n      " << c.help << "\n";
    }
    std::cout << "\nRecords print as JSON, single values as one line. Failures print the error on stderr\n"
                 "and exit 1; usage mistakes exit 2.\n";
}

Args parseArgs(const Command& command, const std::vector<std::string>& words) {
    Args args;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.size() > 2 && w.rfind("--", 0) == 0) {
            std::string name = w, value;
            bool inlineValue = false;
            if (auto eq = w.find('='); eq != std::string::npos) {
                name = w.substr(0, eq);
                value = w.substr(eq + 1);
                inlineValue = true;
            }
            bool isFlag = std::find(command.flags.begin(), command.flags.end(), name) != command.flags.end();
            bool isOption = std::find(command.options.begin(), command.options.end(), name) != command.options.end();
            if (isFlag && !inlineValue) {
                args.options.emplace(name, "");
            } else if (isOption) {
                if (!inlineValue) {
                    if (i + 1 >= words.size()) throw UsageError(name + " needs a value");
                    value = words[++i];
                }
                args.options.emplace(name, value);
            } else {
                throw UsageError("unknown option " + name);
            }
        } else {
            args.positional.push_back(w);
        }
    }
    if (args.positional.size() < command.positionalCount ||
        args.positional.size() > command.positionalCount + command.optionalPositionals)
        throw UsageError("wrong number of arguments");
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    const auto commands = allCommands();

    if (words.empty()) {
        std::cerr << "usage: torvane <group> <verb> [arguments] (see torvane --help)\n";
        return 2;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        printHelp(commands, "Torvane: rider body-position evidence from track photos.\n\nusage: torvane <group> <verb> [arguments]");
        return 0;
    }

    std::vector<Command> group;
    for (const auto& c : commands)
        if (c.group == words[0]) group.push_back(c);
    if (group.empty()) {
        std::cerr << "torvane: unknown command '" << words[0] << "'\nusage: torvane <group> <verb> [arguments] (see torvane --help)\n";
        return 2;
    }

    const Command* command = nullptr;
    std::size_t consumed = 1;
    if (group.size() == 1 && group[0].verb.empty()) {
        command = &group[0];
    } else {
        if (words.size() < 2) {
            std::cerr << "usage: torvane " << words[0] << " <verb> [arguments] (see torvane " << words[0] << " --help)\n";
            return 2;
        }
        if (words[1] == "--help" || words[1] == "-h") {
            printHelp(group, "usage: torvane " + words[0] + " <verb> [arguments]");
            return 0;
        }
        for (const auto& c : group)
            if (c.verb == words[1]) command = &c;
        if (!command) {
            std::cerr << "torvane: unknown verb '" << words[1] << "' for " << words[0] << "\nusage: torvane " << words[0]
                      << " <verb> [arguments] (see torvane " << words[0] << " --help)\n";
            return 2;
        }
        consumed = 2;
    }

    std::vector<std::string> rest(words.begin() + static_cast<long>(consumed), words.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        std::cout << usageLine(*command) << "\n  " << command->help << "\n";
        return 0;
    }
    try {
        Args args = parseArgs(*command, rest);
        return command->run(args);
    } catch (const UsageError& e) {
        std::cerr << "torvane: " << e.what() << "\n" << usageLine(*command) << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << torvane::describeError(e) << "\n";
        return 1;
    }
}
