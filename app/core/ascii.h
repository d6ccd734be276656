// Letter case of ASCII letters only. Names the program compares without regard to case (image
// names, command-line keys, digests, markup names, archive paths) fold A-Z and nothing else,
// so the result never depends on a locale or on another script's case rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

template <class Char>
constexpr Char AsciiLower(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <class Char>
constexpr Char AsciiUpper(Char c) {
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

namespace ascii_detail {
// Any text (string, view, literal) as a view of its characters.
template <class Char>
std::basic_string_view<Char> View(const std::basic_string<Char>& s) { return s; }
template <class Char>
std::basic_string_view<Char> View(std::basic_string_view<Char> s) { return s; }
template <class Char>
std::basic_string_view<Char> View(const Char* s) { return s; }
}  // namespace ascii_detail

template <class Text>
auto AsciiLowered(const Text& text) {
    const auto view = ascii_detail::View(text);
    std::basic_string<typename decltype(view)::value_type> out(view);
    for (auto& c : out) c = AsciiLower(c);
    return out;
}

template <class Text>
auto AsciiUppered(const Text& text) {
    const auto view = ascii_detail::View(text);
    std::basic_string<typename decltype(view)::value_type> out(view);
    for (auto& c : out) c = AsciiUpper(c);
    return out;
}

// Equal length and equal code values once A-Z are folded; texts of different character types
// compare by code value (a narrow byte as unsigned).
template <class TextA, class TextB>
bool EqualsIgnoreAsciiCase(const TextA& textA, const TextB& textB) {
    const auto a = ascii_detail::View(textA);
    const auto b = ascii_detail::View(textB);
    if (a.size() != b.size()) return false;
    auto code = [](auto c) {
        using Unsigned = std::make_unsigned_t<decltype(c)>;
        return static_cast<std::uint32_t>(static_cast<Unsigned>(AsciiLower(c)));
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (code(a[i]) != code(b[i])) return false;
    }
    return true;
}
