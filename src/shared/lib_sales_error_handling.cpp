#include "shared/lib_sales_error_handling.h"

#include <cstdio>
#include <exception>

#include "platform/automation/component.h"
#include "platform/automation/text.h"
#include "platform/log/log.h"

namespace {

const char* kCrLf = "\r\n";

// Labels and infos carry names, keys and statements that come from files,
// peers and users: a line break in one of them must not start a line of the
// log, and a key of megabytes must not fill it.
constexpr size_t kValueLimit = 512;
// A line of a description: a value with its frame's prefix and cut note.
constexpr size_t kDescriptionLineLimit = 2 * kValueLimit;

std::string Shown(std::string_view value, size_t limit = kValueLimit) {
    return ole::EscapeControls(ole::Shorten(value, limit));
}

// Where a description holds the formatted text of an inner frame, the CR LF
// before each of that frame's lines ("ERROR 0x", " METHOD: ", " DESC: ",
// " INFO: ", and the "." that closes a frame around another) and at its end are
// the format's own and stay; every other control character of the description
// is escaped, and each of its lines cut.
bool FormatLineBreakAt(std::string_view text, size_t at) {
    if (text.substr(at, 2) != "\r\n") return false;
    std::string_view next = text.substr(at + 2);
    for (std::string_view start : {"ERROR 0x", " METHOD: ", " DESC: ", " INFO: ", "."})
        if (next.substr(0, start.size()) == start) return true;
    return next.empty();
}

std::string ShownDescription(std::string_view description) {
    std::string shown;
    size_t line = 0;
    for (size_t at = 0; at <= description.size(); ++at) {
        bool end = at == description.size();
        if (!end && !FormatLineBreakAt(description, at)) continue;
        shown += Shown(description.substr(line, at - line), kDescriptionLineLimit);
        if (end) break;
        shown += kCrLf;
        line = at + 2;
        ++at;
    }
    return shown;
}

// Writes one entry with the given error as the current one. `framed`: the
// error's description holds this report's frame already (the raising path), so
// the entry does not frame it a second time.
void WriteEntry(int32_t level, const std::string& label, const SlsInfo& info, const SlsErrorInfo& current,
                bool framed = false) {
    qx::LogRecord record;
    record.level = level;
    record.label = label;
    record.info = info ? Shown(*info) : "";
    if (current.Number != 0) {
        record.number = current.Number;
        record.source = current.Source.empty() ? label : current.Source;
        record.text = framed ? current.Description : Sls_FormatError(current.Description, current.Number, label, info);
        record.description = current.Reason.empty() ? current.Description : current.Reason;
        record.methods = current.Methods;
        if (!framed) record.methods.push_back(label);
    } else {
        // a notice, or a failure found without an error: its own text, no error frame
        record.source = label;
        record.text = info ? record.info : Shown(label);
    }
    try {
        auto log = ole::CreateObjectAs<qx::ILog>("Qxcore.Log");
        log->WriteRecord(record);
    } catch (...) {
        // a failing log never hides what is being reported
    }
}

}  // namespace

std::string Sls_FormatError(const std::string& description, int32_t number, const std::string& label,
                            const SlsInfo& info) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<uint32_t>(number));
    std::string text;
    text.reserve(description.size() + label.size() + 64);
    text += kCrLf;
    text += "ERROR 0x";
    text += hex;
    text += kCrLf;
    text += " METHOD: " + Shown(label) + kCrLf;
    text += " DESC: " + ShownDescription(description) + "." + kCrLf;
    if (info) text += " INFO: " + Shown(*info) + "." + kCrLf;
    return text;
}

SlsErrorInfo Sls_SaveError(const std::string& label, const SlsInfo& info) {
    SlsErrorInfo saved = ole::CurrentError();
    if (saved.Methods.empty()) {
        saved.Reason = saved.Description;
        saved.ReasonInfo = info.value_or("");
    }
    saved.Methods.push_back(label);
    saved.Description = Sls_FormatError(saved.Description, saved.Number, label, info);
    return saved;
}

void Sls_RaiseError(const std::string& label, const SlsInfo& info) {
    SlsErrorInfo saved = Sls_SaveError(label, info);
    if (saved.Number == 0) {
        if (auto current = std::current_exception()) std::rethrow_exception(current);
        throw ole::AutomationError(ole::err::AutomationFailure, "Sls_RaiseError called while no error is handled", label);
    }
    WriteEntry(qx::LogError, label, info, saved, true);
    throw ole::AutomationError(saved);
}

void Sls_LogEvent(int32_t level, const std::string& label, const SlsInfo& info) {
    WriteEntry(level, label, info, ole::CurrentError());
}

void Sls_LogError(const std::string& label, const SlsInfo& info) { Sls_LogEvent(qx::LogError, label, info); }
void Sls_LogWarning(const std::string& label, const SlsInfo& info) { Sls_LogEvent(qx::LogWarning, label, info); }
void Sls_LogNotice(const std::string& label, const SlsInfo& info) { Sls_LogEvent(qx::LogNotice, label, info); }

void Sls_RaiseSaved(const SlsErrorInfo& saved) { throw ole::AutomationError(saved); }

void Sls_RaiseNew(int32_t number, const ole::Variant& description) {
    throw ole::AutomationError(number, description.Text());
}
