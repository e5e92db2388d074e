// JSON conventions shared by every stored record.
//
// A record lists its fields once, in a member template `fields(V& v)` that calls
// `v("key", member)` for each field; the same list drives encoding and decoding:
//
//   struct Point2 {
//       double x = 0, y = 0;
//       template <class V> void fields(V& v) { v("x", x); v("y", y); }
//   };
//
// Decoding behaves like a strict typed decoder: a missing or mistyped required key fails,
// a missing or null optional key means absent, unknown keys are ignored, and integer
// fields refuse fractional and out-of-range numbers. Encoding leaves absent optionals out
// and refuses non-finite numbers. Keys come out sorted because objects are std::maps.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "Torvane/Enums.h"

namespace torvane {

// A JSON document that does not parse or does not have the expected shape.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value that JSON cannot carry (a non-finite number).
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace json {

using Value = nlohmann::json;

// Types with a hand-written JSON form specialise this with
//   static Value encode(const T&);  static T decode(const Value&, const std::string& path);
template <class T>
struct Coder {};

namespace detail {
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};
template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};
template <class T> struct IsStringMap : std::false_type {};
template <class T> struct IsStringMap<std::map<std::string, T>> : std::true_type {};

template <class T>
concept HasCoder = requires(const T& t, const Value& v, const std::string& p) {
    { Coder<T>::encode(t) } -> std::same_as<Value>;
    { Coder<T>::decode(v, p) } -> std::same_as<T>;
};

struct Probe {
    template <class M> void operator()(const char*, M&) {}
};
template <class T>
concept IsRecord = requires(T& t, Probe& p) { t.fields(p); };

std::string describeType(const Value& v);
[[noreturn]] void fail(const std::string& path, const std::string& what);
std::string child(const std::string& path, std::string_view key);
std::string child(const std::string& path, std::size_t index);
}  // namespace detail

template <class T> Value encode(const T& value, const std::string& path = "");
template <class T> T decode(const Value& value, const std::string& path = "");

namespace detail {

struct Encoder {
    Value& object;
    const std::string& path;
    template <class M>
    void operator()(const char* key, const M& member) {
        if constexpr (IsOptional<M>::value) {
            if (member) object[key] = json::encode(*member, child(path, key));
        } else {
            object[key] = json::encode(member, child(path, key));
        }
    }
};

struct Decoder {
    const Value& object;
    const std::string& path;
    template <class M>
    void operator()(const char* key, M& member) {
        auto it = object.find(key);
        if constexpr (IsOptional<M>::value) {
            if (it == object.end() || it->is_null())
                member.reset();
            else
                member = json::decode<typename M::value_type>(*it, child(path, key));
        } else {
            if (it == object.end() || it->is_null())
                fail(path, std::string("missing required key \"") + key + "\"");
            member = json::decode<M>(*it, child(path, key));
        }
    }
};

}  // namespace detail

template <class T>
Value encode(const T& value, const std::string& path) {
    using namespace detail;
    if constexpr (HasCoder<T>) {
        return Coder<T>::encode(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return Value(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return Value(value);
    } else if constexpr (std::is_integral_v<T>) {
        return Value(static_cast<std::int64_t>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value))
            throw EncodingError("Cannot encode the non-finite number " + std::to_string(value) +
                                (path.empty() ? std::string() : " at " + path) + ".");
        return Value(static_cast<double>(value));
    } else if constexpr (NamedEnum<T>) {
        return Value(std::string(enumName(value)));
    } else if constexpr (IsOptional<T>::value) {
        return value ? encode(*value, path) : Value(nullptr);
    } else if constexpr (IsVector<T>::value) {
        Value array = Value::array();
        for (std::size_t i = 0; i < value.size(); ++i) array.push_back(encode(value[i], child(path, i)));
        return array;
    } else if constexpr (IsStringMap<T>::value) {
        Value object = Value::object();
        for (const auto& [k, v] : value) object[k] = encode(v, child(path, k));
        return object;
    } else if constexpr (IsRecord<T>) {
        Value object = Value::object();
        Encoder encoder{object, path};
        const_cast<T&>(value).fields(encoder);  // fields() only reads here
        return object;
    } else {
        static_assert(sizeof(T) == 0, "type has no JSON form");
    }
}

template <class T>
T decode(const Value& value, const std::string& path) {
    using namespace detail;
    if constexpr (HasCoder<T>) {
        return Coder<T>::decode(value, path);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!value.is_boolean()) fail(path, "expected a boolean, found " + describeType(value));
        return value.get<bool>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!value.is_string()) fail(path, "expected a string, found " + describeType(value));
        return value.get<std::string>();
    } else if constexpr (std::is_integral_v<T>) {
        static_assert(std::is_signed_v<T>, "integer fields are signed");
        if (value.is_number_integer() && !value.is_number_unsigned()) {
            auto n = value.get<std::int64_t>();
            if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max())
                fail(path, "integer out of range");
            return static_cast<T>(n);
        }
        if (value.is_number_unsigned()) {
            auto n = value.get<std::uint64_t>();
            if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) fail(path, "integer out of range");
            return static_cast<T>(n);
        }
        if (value.is_number_float()) {
            double d = value.get<double>();
            if (std::trunc(d) != d) fail(path, "expected an integer, found a fractional number");
            // Compare against 2^63 exactly: the largest int64 is not representable as a double.
            if (!(d >= static_cast<double>(std::numeric_limits<T>::min()) &&
                  d < -static_cast<double>(std::numeric_limits<T>::min())))
                fail(path, "integer out of range");
            return static_cast<T>(d);
        }
        fail(path, "expected an integer, found " + describeType(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!value.is_number()) fail(path, "expected a number, found " + describeType(value));
        return static_cast<T>(value.get<double>());
    } else if constexpr (NamedEnum<T>) {
        if (!value.is_string()) fail(path, "expected a string, found " + describeType(value));
        auto e = enumValue<T>(value.get_ref<const std::string&>());
        if (!e) fail(path, "unknown value \"" + value.get<std::string>() + "\"");
        return *e;
    } else if constexpr (IsOptional<T>::value) {
        if (value.is_null()) return std::nullopt;
        return decode<typename T::value_type>(value, path);
    } else if constexpr (IsVector<T>::value) {
        if (!value.is_array()) fail(path, "expected an array, found " + describeType(value));
        T out;
        out.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i)
            out.push_back(decode<typename T::value_type>(value[i], child(path, i)));
        return out;
    } else if constexpr (IsStringMap<T>::value) {
        if (!value.is_object()) fail(path, "expected an object, found " + describeType(value));
        T out;
        for (auto it = value.begin(); it != value.end(); ++it)
            out.emplace(it.key(), decode<typename T::mapped_type>(it.value(), child(path, it.key())));
        return out;
    } else if constexpr (IsRecord<T>) {
        if (!value.is_object()) fail(path, "expected an object, found " + describeType(value));
        T out{};
        Decoder decoder{value, path};
        out.fields(decoder);
        return out;
    } else {
        static_assert(sizeof(T) == 0, "type has no JSON form");
    }
}

// Parses text as JSON; malformed text throws DecodingError.
Value parse(std::string_view text);

// Parses and decodes in one step.
template <class T>
T decodeText(std::string_view text) {
    return decode<T>(parse(text));
}

// The same error with the file it came from named in its sentence.
DecodingError inFile(const DecodingError& error, const std::filesystem::path& file);

// Reads a JSON file of at most `limit` bytes (a regular file, opened without blocking) and
// parses it; the text read is handed back through `bytes` when asked for, so a hash can be
// taken of exactly what was parsed. Errors name the file.
Value parseFile(const std::filesystem::path& file, std::size_t limit, std::string* bytes = nullptr);

// Reads, parses and decodes a JSON file; decoding errors name the file too.
template <class T>
T decodeFile(const std::filesystem::path& file, std::size_t limit, std::string* bytes = nullptr) {
    Value value = parseFile(file, limit, bytes);
    try {
        return decode<T>(value);
    } catch (const DecodingError& e) {
        throw inFile(e, file);
    }
}

// Pretty-printed form for files: sorted keys, two-space indent, trailing newline.
std::string prettyText(const Value& value);

// Canonical compact form that every content hash is taken over: sorted keys, no white
// space, "/" escaped as "\/", non-ASCII as raw UTF-8, numbers in their shortest
// round-trip form with whole numbers written without a fraction part.
std::string canonicalText(const Value& value);

template <class T>
std::string pretty(const T& record) {
    return prettyText(encode(record));
}

template <class T>
std::string canonical(const T& record) {
    return canonicalText(encode(record));
}

}  // namespace json
}  // namespace torvane
