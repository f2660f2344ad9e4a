#include "automation/text.h"

#include <algorithm>
#include <cctype>

namespace ole {

std::string TrimBlanks(std::string_view text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

namespace {
bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}
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

}  // namespace ole
