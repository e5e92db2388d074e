// The command line's small toolkit: arguments, usage errors and output in the house style
// (records as sorted, pretty-printed JSON on stdout; single values as one line).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Torvane/Geometry.h"
#include "Torvane/Json.h"

namespace torvane::cli {

// A mistake in how the command was called: exit 2 with the usage line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Args {
    std::vector<std::string> positional;
    std::multimap<std::string, std::string> options;  // "--name" -> value

    // The one value of a required option.
    std::string required(const std::string& name) const;
    std::optional<std::string> optional(const std::string& name) const;
    std::vector<std::string> all(const std::string& name) const;
    bool flag(const std::string& name) const { return options.count(name) > 0; }
    // Positional argument `index`, or a usage error when missing.
    const std::string& at(std::size_t index) const;
};

struct Command {
    std::string group;   // "manifest"; the verb-less commands use their own name here
    std::string verb;    // "check"; empty for verb-less commands such as "analyze"
    std::string usage;   // arguments after "torvane <group> <verb>"
    std::string help;    // one sentence
    std::vector<std::string> flags;    // options that take no value
    std::vector<std::string> options;  // options that take a value
    std::size_t positionalCount = 0;
    std::function<int(const Args&)> run;
    std::size_t optionalPositionals = 0;  // accepted after the required ones
};

PixelRect parseRect(const std::string& text);       // "X,Y,W,H"
Point2 parsePoint(const std::string& text);         // "X,Y"
long long parseInteger(const std::string& text, const std::string& what);

void printJson(const json::Value& value);
void printLine(const std::string& text);

template <class T>
void printRecord(const T& record) {
    printJson(json::encode(record));
}

// Reads a JSON file and decodes it as T (file-system and decoding errors pass through).
json::Value readJsonFile(const std::filesystem::path& file);
template <class T>
T readRecord(const std::filesystem::path& file) {
    return json::decode<T>(readJsonFile(file));
}

// Command tables, one per group.
std::vector<Command> foundationCommands();
std::vector<Command> reviewCommands();
std::vector<Command> runCommands();
std::vector<Command> poseCommands();
std::vector<Command> analysisCommands();
std::vector<Command> discoverCommands();
std::vector<Command> serveCommands();

}  // namespace torvane::cli
