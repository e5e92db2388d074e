#include "Torvane/Json.h"

#include "Torvane/platform/FileSystem.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace torvane::json {

namespace detail {

std::string describeType(const Value& v) {
    switch (v.type()) {
        case Value::value_t::null: return "null";
        case Value::value_t::object: return "an object";
        case Value::value_t::array: return "an array";
        case Value::value_t::string: return "a string";
        case Value::value_t::boolean: return "a boolean";
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
        case Value::value_t::number_float: return "a number";
        default: return "an unsupported value";
    }
}

void fail(const std::string& path, const std::string& what) {
    throw DecodingError("The data couldn't be read because it isn't in the correct format: " + what +
                        (path.empty() ? std::string(" at the top level.") : " at " + path + "."));
}

std::string child(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string child(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

}  // namespace detail

Value parse(std::string_view text) {
    try {
        return Value::parse(text.begin(), text.end());
    } catch (const nlohmann::json::parse_error& e) {
        // Where the text goes wrong, as a person counts it, rather than the parser's internals.
        const std::size_t end = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < end; ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw DecodingError("The data couldn't be read because it isn't valid JSON (line " + std::to_string(line) +
                            ", column " + std::to_string(column) + ").");
    } catch (const nlohmann::json::exception&) {  // numbers out of range (1e999)
        throw DecodingError("The data couldn't be read because it isn't valid JSON (a number is out of range).");
    }
}

Value parseFile(const std::filesystem::path& file, std::size_t limit, std::string* bytes) {
    std::string text = platform::readFile(file, limit);
    try {
        Value value = parse(text);
        if (bytes) *bytes = std::move(text);
        return value;
    } catch (const DecodingError& e) {
        throw inFile(e, file);
    }
}

DecodingError inFile(const DecodingError& error, const std::filesystem::path& file) {
    const std::string where = " File: \"" + platform::printable(file.string()) + "\".";
    std::string message = error.what();
    if (message.size() < where.size() || message.compare(message.size() - where.size(), where.size(), where) != 0)
        message += where;
    return DecodingError(message);
}

namespace {

void writeNumber(std::string& out, double d) {
    if (!std::isfinite(d)) throw EncodingError("Cannot encode a non-finite number.");
    // Shortest round-trip form; std::to_chars prints whole numbers without a fraction
    // part (1920, not 1920.0) and switches to an exponent only where that is shorter.
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    out.append(buffer, result.ptr);
}

void writeString(std::string& out, const std::string& s, bool escapeSlash) {
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += escapeSlash ? "\\/" : "/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void write(std::string& out, const Value& v, int indent, int depth) {
    const bool pretty = indent > 0;
    auto newline = [&](int level) {
        if (!pretty) return;
        out.push_back('\n');
        out.append(static_cast<std::size_t>(level * indent), ' ');
    };
    switch (v.type()) {
        case Value::value_t::null: out += "null"; break;
        case Value::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
        case Value::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); break;
        case Value::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); break;
        case Value::value_t::number_float: writeNumber(out, v.get<double>()); break;
        case Value::value_t::string: writeString(out, v.get_ref<const std::string&>(), !pretty); break;
        case Value::value_t::array: {
            if (v.empty()) { out += "[]"; break; }
            out.push_back('[');
            bool first = true;
            for (const auto& e : v) {
                if (!first) out.push_back(',');
                first = false;
                newline(depth + 1);
                write(out, e, indent, depth + 1);
            }
            newline(depth);
            out.push_back(']');
            break;
        }
        case Value::value_t::object: {
            if (v.empty()) { out += "{}"; break; }
            out.push_back('{');
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {  // std::map: sorted by bytes
                if (!first) out.push_back(',');
                first = false;
                newline(depth + 1);
                writeString(out, it.key(), !pretty);
                out += pretty ? ": " : ":";
                write(out, it.value(), indent, depth + 1);
            }
            newline(depth);
            out.push_back('}');
            break;
        }
        default: throw EncodingError("Cannot encode a binary value as JSON.");
    }
}

}  // namespace

std::string prettyText(const Value& value) {
    std::string out;
    write(out, value, 2, 0);
    out.push_back('\n');
    return out;
}

std::string canonicalText(const Value& value) {
    std::string out;
    write(out, value, 0, 0);
    return out;
}

}  // namespace torvane::json
