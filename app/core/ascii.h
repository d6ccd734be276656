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

template <class String>
String AsciiLowered(String text) {
    for (auto& c : text) c = AsciiLower(c);
    return text;
}

template <class String>
String AsciiUppered(String text) {
    for (auto& c : text) c = AsciiUpper(c);
    return text;
}

// A literal gives a string of its character type.
template <class Char>
std::basic_string<Char> AsciiLowered(const Char* text) {
    return AsciiLowered(std::basic_string<Char>(text));
}

template <class Char>
std::basic_string<Char> AsciiUppered(const Char* text) {
    return AsciiUppered(std::basic_string<Char>(text));
}

// Strings, views and literals alike as views.
template <class Char>
std::basic_string_view<Char> AsciiTextView(std::basic_string_view<Char> text) { return text; }
template <class Char>
std::basic_string_view<Char> AsciiTextView(const std::basic_string<Char>& text) { return text; }
template <class Char>
std::basic_string_view<Char> AsciiTextView(const Char* text) { return text; }

// Equal length and equal code values once A-Z are folded; texts of different character types
// compare by code value (a narrow byte as unsigned).
template <class TextA, class TextB>
bool EqualsIgnoreAsciiCase(const TextA& textA, const TextB& textB) {
    const auto a = AsciiTextView(textA);
    const auto b = AsciiTextView(textB);
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
