#include "platform/data/script.h"

#include <cctype>
#include <string_view>
#include <vector>

#include "platform/automation/text.h"

namespace ado {
namespace {

// The end of a dollar quote that opens at `at` ("$$" or "$tag$"), or npos when no dollar quote opens there.
size_t DollarQuoteEnd(const std::string& s, size_t at) {
    // "a$b" is a name that holds a dollar sign
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(s[at - 1])) || s[at - 1] == '_')) return std::string::npos;
    size_t close = at + 1;
    while (close < s.size() && (std::isalnum(static_cast<unsigned char>(s[close])) || s[close] == '_')) ++close;
    if (close >= s.size() || s[close] != '$') return std::string::npos;
    // "$1" is a parameter, not a tag
    if (close > at + 1 && std::isdigit(static_cast<unsigned char>(s[at + 1]))) return std::string::npos;
    std::string tag = s.substr(at, close - at + 1);
    size_t end = s.find(tag, close + 1);
    return end == std::string::npos ? s.size() : end + tag.size();
}

// The provider that the statement's leading comments name, "" when none does.
std::string ProviderOf(std::string_view statement) {
    size_t pos = 0;
    while (pos < statement.size()) {
        size_t lineEnd = statement.find('\n', pos);
        if (lineEnd == std::string_view::npos) lineEnd = statement.size();
        std::string line = ole::TrimBlanks(statement.substr(pos, lineEnd - pos));
        while (!line.empty() && (line.back() == '\r' || line.back() == '\t')) line.pop_back();
        if (!line.empty()) {
            if (line.rfind("--", 0) != 0) return "";
            std::string comment = ole::LowerCase(ole::TrimBlanks(line.substr(2)));
            const std::string marker = "provider:";
            if (comment.rfind(marker, 0) == 0) return ole::TrimBlanks(comment.substr(marker.size()));
        }
        pos = lineEnd + 1;
    }
    return "";
}

bool HoldsCode(std::string_view statement) {
    size_t pos = 0;
    while (pos < statement.size()) {
        char c = statement[pos];
        if (c == '-' && pos + 1 < statement.size() && statement[pos + 1] == '-') {
            size_t end = statement.find('\n', pos);
            if (end == std::string_view::npos) return false;
            pos = end + 1;
        } else if (c == '/' && pos + 1 < statement.size() && statement[pos + 1] == '*') {
            size_t end = statement.find("*/", pos + 2);
            if (end == std::string_view::npos) return false;
            pos = end + 2;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++pos;
        } else {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> ScriptStatements(const std::string& script, Dialect dialect) {
    const std::string wanted = dialect == Dialect::SQLite ? "sqlite" : "postgresql";
    std::vector<std::string> statements;
    auto take = [&](size_t from, size_t to) {
        std::string_view text(script.data() + from, to - from);
        if (!HoldsCode(text)) return;
        std::string provider = ProviderOf(text);
        if (!provider.empty() && provider != wanted) return;
        statements.emplace_back(text);
    };
    size_t start = 0;
    size_t i = 0;
    // A trigger's body (CREATE TRIGGER ... BEGIN ...; ...; END) holds ";": such a
    // statement ends only at a ";" right after END, as SQLite reads it.
    std::vector<std::string> firstWords;
    std::string lastWord;
    auto isTrigger = [&] {
        if (firstWords.size() < 2 || firstWords[0] != "CREATE") return false;
        if (firstWords[1] == "TRIGGER") return true;
        return firstWords.size() >= 3 && (firstWords[1] == "TEMP" || firstWords[1] == "TEMPORARY") &&
               firstWords[2] == "TRIGGER";
    };
    while (i < script.size()) {
        char c = script[i];
        if ((std::isalpha(static_cast<unsigned char>(c)) || c == '_') &&
            (i == 0 || !(std::isalnum(static_cast<unsigned char>(script[i - 1])) || script[i - 1] == '_'))) {
            size_t end = i;
            while (end < script.size() && (std::isalnum(static_cast<unsigned char>(script[end])) || script[end] == '_')) ++end;
            lastWord = ole::UpperCase(script.substr(i, end - i));
            if (firstWords.size() < 3) firstWords.push_back(lastWord);
            i = end;
        } else if (c == '\'' || c == '"') {
            size_t close = script.find(c, i + 1);
            while (close != std::string::npos && close + 1 < script.size() && script[close + 1] == c)
                close = script.find(c, close + 2);
            i = close == std::string::npos ? script.size() : close + 1;
        } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
            size_t end = script.find('\n', i);
            i = end == std::string::npos ? script.size() : end + 1;
        } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
            size_t end = script.find("*/", i + 2);
            i = end == std::string::npos ? script.size() : end + 2;
        } else if (c == '$') {
            size_t end = DollarQuoteEnd(script, i);
            i = end == std::string::npos ? i + 1 : end;
            lastWord.clear();
        } else if (c == ';') {
            if (isTrigger() && lastWord != "END") {
                ++i;
                continue;
            }
            take(start, i);
            start = ++i;
            firstWords.clear();
            lastWord.clear();
        } else {
            ++i;
        }
    }
    take(start, script.size());
    return statements;
}

}  // namespace ado
