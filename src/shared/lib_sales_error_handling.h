// The one failure path of the system. Every method traps errors for its whole
// body; its handler (a catch block) releases what it holds and calls
// Sls_RaiseError with its label, which formats the error, writes it to the log
// and raises it to the caller. An error passing through several methods thus
// carries one frame per method, innermost first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/automation/error.h"
#include "platform/automation/variant.h"

using ole::SlsErrorInfo;

// The optional info of a report: absent, or a text describing the arguments or the statement.
using SlsInfo = std::optional<std::string>;

// CR LF "ERROR 0x<hex>" CR LF " METHOD: <label>" CR LF " DESC: <description>." CR LF
// [" INFO: <info>." CR LF]
// The text goes to the log and to terminals, so its CR LF are the format's
// own: the label and the info are cut at 512 characters and their control
// characters escaped ("\x0A"); so is the description, except the line breaks
// of an inner frame's formatted text that it holds.
std::string Sls_FormatError(const std::string& description, int32_t number, const std::string& label,
                            const SlsInfo& info = std::nullopt);

// The current error with its description formatted under the label.
SlsErrorInfo Sls_SaveError(const std::string& label, const SlsInfo& info = std::nullopt);

// Reports the current error (the one being handled) under the label: writes one
// log entry and raises it with the formatted description. Call it from a catch
// block; it never returns. An exception without an error number is passed on
// as it is, unreported.
[[noreturn]] void Sls_RaiseError(const std::string& label, const SlsInfo& info = std::nullopt);

// Log entries at level 0, 1 and 2; the text is the formatted current error, or
// "Not an actual error" (number 0) when there is none. Never fail.
void Sls_LogError(const std::string& label, const SlsInfo& info = std::nullopt);
void Sls_LogWarning(const std::string& label, const SlsInfo& info = std::nullopt);
void Sls_LogNotice(const std::string& label, const SlsInfo& info = std::nullopt);
void Sls_LogEvent(int32_t level, const std::string& label, const SlsInfo& info = std::nullopt);

[[noreturn]] void Sls_RaiseSaved(const SlsErrorInfo& saved);
[[noreturn]] void Sls_RaiseNew(int32_t number, const ole::Variant& description);
