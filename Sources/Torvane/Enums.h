// Closed enumerations with string raw values. Each enumeration has one table listing its
// cases in declaration order with the name stored in files and, where people see the case,
// its label; storing, reading, listing and labelling all come from that table:
//
//   enum class LeanState { draft, reviewed, unavailable };
//   template <> struct EnumTable<LeanState> {
//       static constexpr EnumCase<LeanState> cases[] = {
//           {LeanState::draft, "draft"}, {LeanState::reviewed, "reviewed"}, ...};
//   };
//
// A table may use its own row type (more texts per case) as long as rows have `value` and
// `name`, and `label` for labelled cases.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

namespace torvane {

template <class E>
struct EnumCase {
    E value;
    std::string_view name;
};

template <class E>
struct LabelledCase {
    E value;
    std::string_view name;
    std::string_view label;
};

template <class E>
struct EnumTable;

template <class E>
concept NamedEnum = std::is_enum_v<E> && requires { EnumTable<E>::cases; };

template <class E>
concept LabelledEnum = NamedEnum<E> && requires { EnumTable<E>::cases[0].label; };

namespace detail {
// Row i holds the case whose value is i, so a case can be found by its value directly.
template <class E>
consteval bool tableInDeclarationOrder() {
    std::size_t i = 0;
    for (const auto& row : EnumTable<E>::cases)
        if (static_cast<std::size_t>(row.value) != i++) return false;
    return true;
}
}  // namespace detail

// The table's row for a case.
template <NamedEnum E>
constexpr const auto& enumCase(E value) {
    static_assert(detail::tableInDeclarationOrder<E>(), "an enumeration's table lists its cases in order");
    return EnumTable<E>::cases[static_cast<std::size_t>(value)];
}

template <NamedEnum E>
constexpr std::string_view enumName(E value) {
    return enumCase(value).name;
}

template <NamedEnum E>
constexpr std::optional<E> enumValue(std::string_view text) {
    for (const auto& row : EnumTable<E>::cases)
        if (row.name == text) return row.value;
    return std::nullopt;
}

template <LabelledEnum E>
constexpr std::string_view label(E value) {
    return enumCase(value).label;
}

// The cases of an enumeration in declaration order.
template <NamedEnum E>
constexpr auto allCases() {
    constexpr std::size_t count = std::size(EnumTable<E>::cases);
    std::array<E, count> out{};
    for (std::size_t i = 0; i < count; ++i) out[i] = EnumTable<E>::cases[i].value;
    return out;
}

}  // namespace torvane
