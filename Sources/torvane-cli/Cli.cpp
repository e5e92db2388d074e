#include "Cli.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "Torvane/platform/FileSystem.h"

namespace torvane::cli {

std::string Args::required(const std::string& name) const {
    auto range = options.equal_range(name);
    if (range.first == range.second) throw UsageError("missing " + name);
    if (std::next(range.first) != range.second) throw UsageError(name + " given more than once");
    return range.first->second;
}

std::optional<std::string> Args::optional(const std::string& name) const {
    if (!options.count(name)) return std::nullopt;
    return required(name);
}

std::vector<std::string> Args::all(const std::string& name) const {
    std::vector<std::string> out;
    auto range = options.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}

const std::string& Args::at(std::size_t index) const {
    if (index >= positional.size()) throw UsageError("missing argument");
    return positional[index];
}

namespace {
std::vector<double> parseNumbers(const std::string& text, std::size_t count, const std::string& what) {
    std::vector<double> out;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ',')) {
        double value = 0;
        auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || ptr != part.data() + part.size() || part.empty())
            throw UsageError(what + " must be " + std::to_string(count) + " numbers separated by commas");
        out.push_back(value);
    }
    if (out.size() != count || (!text.empty() && text.back() == ','))
        throw UsageError(what + " must be " + std::to_string(count) + " numbers separated by commas");
    return out;
}
}  // namespace

PixelRect parseRect(const std::string& text) {
    auto n = parseNumbers(text, 4, "a rectangle X,Y,W,H");
    return {n[0], n[1], n[2], n[3]};
}

Point2 parsePoint(const std::string& text) {
    auto n = parseNumbers(text, 2, "a point X,Y");
    return {n[0], n[1]};
}

long long parseInteger(const std::string& text, const std::string& what) {
    long long value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || text.empty())
        throw UsageError(what + " must be a whole number");
    return value;
}

void printJson(const json::Value& value) { std::cout << json::prettyText(value) << std::flush; }

void printLine(const std::string& text) { std::cout << text << '\n' << std::flush; }

// Documents are the largest JSON files a command reads; their limit serves every file here.
json::Value readJsonFile(const std::filesystem::path& file) { return json::parseFile(file, platform::reviewFileLimit); }

}  // namespace torvane::cli
