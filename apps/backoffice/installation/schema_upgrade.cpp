#include "installation/schema_upgrade.h"

#include <regex>
#include <set>

#include "platform/automation/text.h"
#include "platform/data/script.h"

namespace backoffice {

namespace {

using Names = std::set<std::string>;  // upper case

// Without the white space (line breaks included) around it.
std::string TrimSpace(const std::string& text) {
    size_t from = text.find_first_not_of(" \t\r\n");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_last_not_of(" \t\r\n") + 1 - from);
}

Names Column0(const ado::RecordsetPtr& rs) {
    Names names;
    for (; rs && !rs->Eof(); rs->MoveNext()) names.insert(ole::UpperCase(rs->Fields(0).Value().Text()));
    return names;
}

// What the database holds, read from its own catalogue.
struct Catalogue {
    ado::Connection& c;
    bool postgres;

    Names Tables() {
        return Column0(postgres ? c.Execute("SELECT table_name FROM information_schema.tables "
                                            "WHERE table_schema = current_schema()")
                                : c.Execute("SELECT name FROM sqlite_master WHERE type = 'table'"));
    }
    Names Columns(const std::string& table) {
        return Column0(postgres ? c.Execute("SELECT column_name FROM information_schema.columns "
                                            "WHERE table_schema = current_schema() AND table_name = ?",
                                            nullptr, -1, {ole::LowerCase(table)})
                                : c.Execute("SELECT name FROM pragma_table_info(?)", nullptr, -1, {table}));
    }
    Names Indexes() {
        return Column0(postgres ? c.Execute("SELECT indexname FROM pg_indexes WHERE schemaname = current_schema()")
                                : c.Execute("SELECT name FROM sqlite_master WHERE type = 'index'"));
    }
    Names Procedures() {
        if (!postgres) return {};  // SQLite has none: the provider answers procedure calls itself
        return Column0(c.Execute("SELECT p.proname FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace "
                                 "WHERE n.nspname = current_schema()"));
    }
};

// The parts of a CREATE TABLE body separated by commas outside parentheses.
std::vector<std::string> TopLevelParts(const std::string& body) {
    std::vector<std::string> parts;
    int depth = 0;
    std::string part;
    for (char ch : body) {
        if (ch == '(') ++depth;
        if (ch == ')') --depth;
        if (ch == ',' && depth == 0) {
            parts.push_back(TrimSpace(part));
            part.clear();
        } else {
            part += ch;
        }
    }
    if (!TrimSpace(part).empty()) parts.push_back(TrimSpace(part));
    return parts;
}

// The text without "--" comment lines.
std::string WithoutComments(const std::string& statement) {
    std::string text;
    size_t at = 0;
    while (at < statement.size()) {
        size_t end = statement.find('\n', at);
        std::string line = statement.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (TrimSpace(line).rfind("--", 0) != 0) text += line + "\n";
        at = end == std::string::npos ? statement.size() : end + 1;
    }
    return text;
}

std::string Collapse(const std::string& text) { return std::regex_replace(text, std::regex("\\s+"), " "); }

// A column as ALTER TABLE ADD COLUMN takes it on both databases: keys and
// uniqueness cannot be added to a table that has rows, and NOT NULL only with
// a default for the rows already there.
std::string AddableColumn(std::string definition) {
    std::string upper = ole::UpperCase(definition);
    for (const char* clause : {" PRIMARY KEY", " UNIQUE"}) {
        size_t at = upper.find(clause);
        if (at != std::string::npos) {
            definition.erase(at, std::string(clause).size());
            upper.erase(at, std::string(clause).size());
        }
    }
    if (upper.find(" DEFAULT ") == std::string::npos) {
        size_t at = upper.find(" NOT NULL");
        if (at != std::string::npos) definition.erase(at, 9);
    }
    return definition;
}

}  // namespace

std::vector<std::string> AddMissingSchema(ado::Connection& c, const std::string& script) {
    Catalogue catalogue{c, c.GetDialect() == ado::Dialect::PostgreSQL};
    Names tables = catalogue.Tables(), indexes = catalogue.Indexes(), procedures = catalogue.Procedures();
    std::vector<std::string> added;
    static const std::regex table(R"(^CREATE TABLE (\w+) ?\((.*)\)$)", std::regex::icase);
    static const std::regex index(R"(^CREATE (UNIQUE )?INDEX (\w+) ON .*)", std::regex::icase);
    static const std::regex procedure(R"(^CREATE (OR REPLACE )?(FUNCTION|PROCEDURE) (\w+).*)", std::regex::icase);
    for (const std::string& statement : ado::ScriptStatements(script, c.GetDialect())) {
        std::smatch m;
        // matched without its leading comments; the statement runs as written
        const std::string flat = TrimSpace(Collapse(WithoutComments(statement)));
        if (std::regex_match(flat, m, table)) {
            std::string name = ole::UpperCase(m[1]);
            if (!tables.count(name)) {
                c.Execute(statement);
                added.push_back("table " + name);
                continue;
            }
            Names columns = catalogue.Columns(name);
            for (const std::string& part : TopLevelParts(m[2])) {
                std::string column = ole::UpperCase(part.substr(0, part.find(' ')));
                if (column == "PRIMARY" || column == "UNIQUE" || column == "CONSTRAINT" || column == "FOREIGN" ||
                    column == "CHECK" || columns.count(column))
                    continue;
                c.Execute("ALTER TABLE " + name + " ADD COLUMN " + AddableColumn(part));
                added.push_back("column " + name + "." + column);
            }
        } else if (std::regex_match(flat, m, index)) {
            std::string name = ole::UpperCase(m[2]);
            if (indexes.count(name)) continue;
            c.Execute(statement);
            added.push_back("index " + name);
        } else if (std::regex_match(flat, m, procedure)) {
            std::string name = ole::UpperCase(m[3]);
            if (!catalogue.postgres || procedures.count(name)) continue;
            c.ExecuteScript(statement);
            added.push_back("procedure " + name);
        }
    }
    return added;
}

}  // namespace backoffice
