// Small text helpers shared by the definition parser, the instrument and its status model.
#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zemosim {

inline constexpr std::string_view blanks = " \t\r";

// TEXT without blanks (and carriage returns) at either end.
inline std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Splits TEXT into its first word and the trimmed rest.
inline std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
    text = trim(text);
    const auto end = text.find_first_of(blanks);
    if (end == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, end), trim(text.substr(end))};
}

// TEXT in upper case (ASCII letters only).
inline std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

// The number that is all of TEXT, or nothing when TEXT is no such number or out of range.
template <typename Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

} // namespace zemosim
