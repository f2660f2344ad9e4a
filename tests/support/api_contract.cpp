#include "api_contract.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_db.h"

namespace testing_support {

namespace {

using json = nlohmann::json;

const json& Description() {
    static const json document = json::parse(ReadFile(SourceDir() / "api" / "openapi.json"));
    return document;
}

// A local reference ("#/components/schemas/Basket") as the node it names.
const json& Resolved(const json& node) {
    const json* at = &node;
    for (int depth = 0; at->is_object() && at->contains("$ref") && at->size() == 1; ++depth) {
        if (depth > 16) throw std::runtime_error("a cycle of references");
        at = &Description().at(json::json_pointer(at->at("$ref").get<std::string>().substr(1)));
    }
    return *at;
}

bool Matches(const std::string& text, const std::string& pattern) {
    static std::mutex mutex;
    static std::map<std::string, std::regex> compiled;
    std::lock_guard lock(mutex);
    auto it = compiled.find(pattern);
    if (it == compiled.end()) it = compiled.emplace(pattern, std::regex(pattern, std::regex::ECMAScript)).first;
    return std::regex_search(text, it->second);
}

size_t CodePoints(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

bool IsType(const json& value, const std::string& type) {
    if (type == "null") return value.is_null();
    if (type == "boolean") return value.is_boolean();
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    if (type == "string") return value.is_string();
    if (type == "number") return value.is_number();
    if (type == "integer")
        return value.is_number_integer() || (value.is_number_float() && value.get<double>() == static_cast<double>(static_cast<int64_t>(value.get<double>())));
    throw std::runtime_error("unknown type " + type);
}

const std::set<std::string>& Annotations() {
    static const std::set<std::string> names = {"description", "example", "examples", "default", "format", "title",
                                                "$comment", "deprecated", "readOnly", "writeOnly"};
    return names;
}

// The first breach of the value against the schema ("" for none); `at` names the place.
std::string Breach(const json& value, const json& schemaNode, const std::string& at) {
    const json& schema = Resolved(schemaNode);
    if (schema.is_boolean()) return schema.get<bool>() ? "" : at + ": nothing is allowed here";
    std::string why;
    auto fail = [&](const std::string& text) {
        if (why.empty()) why = at + ": " + text;
    };
    for (const auto& [keyword, arg] : schema.items()) {
        if (!why.empty()) break;
        if (Annotations().count(keyword)) continue;
        if (keyword == "$ref") {
            why = Breach(value, json{{"$ref", arg}}, at);
        } else if (keyword == "type") {
            bool any = false;
            for (const json& t : arg.is_array() ? arg : json::array({arg})) any = any || IsType(value, t.get<std::string>());
            if (!any) fail(value.dump().substr(0, 80) + " is no " + arg.dump());
        } else if (keyword == "enum") {
            if (std::find(arg.begin(), arg.end(), value) == arg.end()) fail(value.dump().substr(0, 80) + " is none of " + arg.dump());
        } else if (keyword == "const") {
            if (value != arg) fail(value.dump().substr(0, 80) + " is not " + arg.dump());
        } else if (keyword == "properties") {
            if (value.is_object())
                for (const auto& [name, sub] : arg.items())
                    if (value.contains(name) && why.empty()) why = Breach(value[name], sub, at + "." + name);
        } else if (keyword == "required") {
            if (value.is_object())
                for (const json& name : arg)
                    if (!value.contains(name.get<std::string>())) fail("lacks " + name.get<std::string>());
        } else if (keyword == "additionalProperties") {
            if (!value.is_object()) continue;
            const json& named = schema.contains("properties") ? schema["properties"] : json::object();
            for (const auto& [name, item] : value.items()) {
                if (named.contains(name) || !why.empty()) continue;
                if (arg.is_boolean() && !arg.get<bool>()) fail("has " + name + ", which is not described");
                else why = Breach(item, arg, at + "." + name);
            }
        } else if (keyword == "items") {
            if (value.is_array())
                for (size_t i = 0; i < value.size() && why.empty(); ++i)
                    why = Breach(value[i], arg, at + "[" + std::to_string(i) + "]");
        } else if (keyword == "allOf") {
            for (const json& sub : arg)
                if (why.empty()) why = Breach(value, sub, at);
        } else if (keyword == "anyOf" || keyword == "oneOf") {
            size_t fitting = 0;
            std::string first;
            for (const json& sub : arg) {
                std::string breach = Breach(value, sub, at);
                if (breach.empty()) ++fitting;
                else if (first.empty()) first = breach;
            }
            if (fitting == 0) fail("fits none of " + keyword + " (" + first + ")");
            if (keyword == "oneOf" && fitting > 1) fail("fits more than one of oneOf");
        } else if (keyword == "not") {
            if (Breach(value, arg, at).empty()) fail("fits what " + arg.dump() + " excludes");
        } else if (keyword == "pattern") {
            if (value.is_string() && !Matches(value.get<std::string>(), arg.get<std::string>()))
                fail(value.dump().substr(0, 80) + " does not match " + arg.get<std::string>());
        } else if (keyword == "minLength" || keyword == "maxLength") {
            if (!value.is_string()) continue;
            size_t n = CodePoints(value.get<std::string>());
            if (keyword == "minLength" ? n < arg.get<size_t>() : n > arg.get<size_t>())
                fail("a text of " + std::to_string(n) + " characters breaks " + keyword + " " + arg.dump());
        } else if (keyword == "minItems" || keyword == "maxItems") {
            if (value.is_array() && (keyword == "minItems" ? value.size() < arg.get<size_t>() : value.size() > arg.get<size_t>()))
                fail(std::to_string(value.size()) + " items break " + keyword + " " + arg.dump());
        } else if (keyword == "minimum" || keyword == "maximum" || keyword == "exclusiveMinimum" || keyword == "exclusiveMaximum") {
            if (!value.is_number()) continue;
            double v = value.get<double>(), bound = arg.get<double>();
            bool ok = keyword == "minimum" ? v >= bound : keyword == "maximum" ? v <= bound
                    : keyword == "exclusiveMinimum" ? v > bound : v < bound;
            if (!ok) fail(value.dump() + " breaks " + keyword + " " + arg.dump());
        } else {
            fail("the schema uses " + keyword + ", which the tests' contract check does not know");
        }
    }
    return why;
}

// The operation of a method and path ("/api/v1/baskets/ABC"), or null: "{name}" is one segment.
const json* OperationOf(const std::string& method, const std::string& path, std::string& pattern) {
    struct Path {
        std::string pattern;
        std::regex regex;
        const json* item;
    };
    static const std::vector<Path> paths = [] {
        std::vector<Path> all;
        static const std::regex special(R"([.^$|()\[\]{}*+?\\])"), parameter(R"(\\\{[A-Za-z_-]+\\\})");
        for (const auto& [pattern, item] : Description()["paths"].items()) {
            std::string quoted = std::regex_replace(pattern, special, R"(\$&)");
            all.push_back({pattern, std::regex(std::regex_replace(quoted, parameter, "[^/]+")), &item});
        }
        return all;
    }();
    std::string lower = method == "HEAD" ? "get" : method;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Path& p : paths)
        if (p.item->contains(lower) && std::regex_match(path, p.regex)) {
            pattern = p.pattern;
            return &(*p.item)[lower];
        }
    return nullptr;
}

}  // namespace

std::string ContractBreach(const std::string& method, const std::string& target, int status,
                           const std::string& contentType, const std::string& body) {
    try {
        std::string path = target.substr(0, target.find('?'));
        std::string mediaType = contentType.substr(0, contentType.find(';'));
        std::string name = method + " " + target.substr(0, 120) + " answered " + std::to_string(status);
        std::string pattern;
        const json* operation = OperationOf(method, path, pattern);
        const json* answer = nullptr;
        if (operation) {
            const json& answers = (*operation)["responses"];
            std::string code = std::to_string(status), range = code.substr(0, 1) + "XX";
            if (answers.contains(code)) answer = &Resolved(answers[code]);
            else if (answers.contains(range)) answer = &Resolved(answers[range]);
            else if (answers.contains("default")) answer = &Resolved(answers["default"]);
            else return name + ": a status " + method + " " + pattern + " does not document";
        } else if (status < 400 || status > 499) {
            return name + ": no operation has this path and method, and the answer is no refusal";
        }
        const json noAnswer = {{"content", {{"application/json", {{"schema", {{"$ref", "#/components/schemas/Error"}}}}}}}};
        if (!answer) answer = &noAnswer;
        if (!answer->contains("content")) {
            return body.empty() || method == "HEAD" ? "" : name + ": a body where the description has none";
        }
        if (!(*answer)["content"].contains(mediaType)) return name + ": Content-Type '" + contentType + "' is not documented";
        const json& media = (*answer)["content"][mediaType];
        if (mediaType != "application/json" || method == "HEAD" || !media.contains("schema")) return "";
        json value = json::parse(body, nullptr, false);
        if (value.is_discarded()) return name + ": the body is no JSON";
        std::string breach = Breach(value, media["schema"], "body");
        return breach.empty() ? "" : name + ": " + breach;
    } catch (const std::exception& e) {
        return "the contract check failed: " + std::string(e.what());
    }
}

}  // namespace testing_support
