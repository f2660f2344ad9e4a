#include "platform/automation/text.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace ole {

std::string TrimBlanks(std::string_view text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string TrimBlanks(std::string&& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
    return std::move(text);
}

namespace {
// ASCII only, as the C locale the process runs in, without a library call per character
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string UpperCase(std::string text) {
    for (char& c : text) c = Upper(c);
    return text;
}

std::string LowerCase(std::string text) {
    for (char& c : text) c = Lower(c);
    return text;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

namespace {
bool SameLetter(char a, char b) { return Lower(a) == Lower(b); }
}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameLetter);
}

size_t FindNoCase(std::string_view text, std::string_view what) {
    if (what.empty()) return 0;
    auto at = std::search(text.begin(), text.end(), what.begin(), what.end(), SameLetter);
    return at == text.end() ? std::string::npos : static_cast<size_t>(at - text.begin());
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
    return tail.size() <= text.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

namespace {

void AppendCode(std::string& out, unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

}  // namespace

size_t Utf8CharacterAt(std::string_view text, size_t at, char32_t* character) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int64_t next = static_cast<int64_t>(at);
    const int64_t length = static_cast<int64_t>(text.size());
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0) return 0;
    if (character) *character = static_cast<char32_t>(c);
    return static_cast<size_t>(next) - at;
}

std::string EscapeControls(std::string_view text) {
    // mostly printable ASCII (every line of the access log): nothing to look at closer
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t n = Utf8CharacterAt(text, at);
        bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        if (n == 0 || c < 0x20 || c == 0x7F || c1) {
            // a C1 control is shown as its two bytes, as any other byte a terminal must not see
            for (size_t i = 0; i < (c1 ? 2u : 1u); ++i) AppendCode(out, static_cast<unsigned char>(text[at + i]));
            at += c1 ? 2 : 1;
            continue;
        }
        out.append(text, at, n);
        at += n;
    }
    return out;
}

std::string Shorten(std::string_view text, size_t limit) {
    size_t at = 0, characters = 0;
    while (at < text.size() && characters < limit) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        ++characters;
    }
    if (at == text.size()) return std::string(text);
    size_t rest = 0;
    for (size_t i = at; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++rest;
    return std::string(text.substr(0, at)) + "... (" + std::to_string(rest) + " more characters)";
}

}  // namespace ole
