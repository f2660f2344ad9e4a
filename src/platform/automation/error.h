// The automation error: the one exception type of the system. It carries the
// five fields of an automation error object; SlsErrorInfo is its value record.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace ole {

// What a failure says about the database beyond its number, for a caller that
// answers "try again later" rather than report a fault. The data providers set
// it from their own codes; the one failure path keeps it through every frame.
enum class ErrorKind : uint8_t {
    Other,
    DatabaseBusy,         // a lock held longer than the wait allows, or a deadlock
    DatabaseUnreachable,  // the database cannot be opened or reached, or its connection was lost
};

struct SlsErrorInfo {
    SlsErrorInfo() = default;
    SlsErrorInfo(int32_t number, std::string source, std::string description, std::string helpFile = {},
                 int32_t helpContext = 0)
        : Number(number), Source(std::move(source)), Description(std::move(description)),
          HelpFile(std::move(helpFile)), HelpContext(helpContext) {}

    int32_t Number = 0;
    std::string Source;
    std::string Description;
    std::string HelpFile;
    int32_t HelpContext = 0;
    // Kept beside the formatted Description by the one failure path, so that a
    // host reads them instead of parsing the frames out of the text:
    std::string Reason;                // the description as first raised, before any frame
    std::string ReasonInfo;            // the info of the innermost report ("" when it had none)
    std::vector<std::string> Methods;  // the labels of the methods it passed, innermost first
    ErrorKind Kind = ErrorKind::Other;
};

class AutomationError : public std::exception {
public:
    explicit AutomationError(SlsErrorInfo info) : info_(std::move(info)) {}
    AutomationError(int32_t number, std::string description, std::string source = {})
        : info_{number, std::move(source), std::move(description), {}, 0} {}

    const SlsErrorInfo& Info() const noexcept { return info_; }
    int32_t Number() const noexcept { return info_.Number; }
    const std::string& Description() const noexcept { return info_.Description; }
    const std::string& Source() const noexcept { return info_.Source; }
    const char* what() const noexcept override { return info_.Description.c_str(); }

private:
    SlsErrorInfo info_;
};

// Run-time error numbers of the automation platform that this system raises.
namespace err {
constexpr int32_t InvalidProcedureCall = 5;
constexpr int32_t Overflow = 6;
constexpr int32_t OutOfMemory = 7;
constexpr int32_t SubscriptOutOfRange = 9;
constexpr int32_t DivisionByZero = 11;
constexpr int32_t TypeMismatch = 13;
constexpr int32_t FileNotFound = 53;
constexpr int32_t FileAlreadyOpen = 55;
constexpr int32_t DeviceIOError = 57;
constexpr int32_t DiskFull = 61;
constexpr int32_t PermissionDenied = 70;
constexpr int32_t PathNotFound = 76;
constexpr int32_t ObjectNotSet = 91;
constexpr int32_t InvalidUseOfNull = 94;
constexpr int32_t ObjectRequired = 424;
constexpr int32_t CannotCreateObject = 429;
constexpr int32_t NotSupported = 438;
constexpr int32_t AutomationFailure = 440;
constexpr int32_t KeyAlreadyExists = 457;
constexpr int32_t ElementNotFound = 32811;
// Base of the application-defined error range (0x80040000).
constexpr int32_t ObjectErrorBase = static_cast<int32_t>(0x80040000u);
}  // namespace err

// The platform's own description of a run-time error number ("" when unknown).
const char* RuntimeErrorText(int32_t number);

// Raises a run-time error with the platform's description.
[[noreturn]] void Raise(int32_t number);
// Raises an error with the given number and description.
[[noreturn]] void Raise(int32_t number, const std::string& description, const std::string& source = {});

// The error being handled, as a record: inside a catch block this is the
// caught exception; anywhere else it is the empty record (Number 0).
SlsErrorInfo CurrentError();
// Its Description ("" when no error is handled).
std::string CurrentDescription();

// What went wrong first, for people: the description as first raised, without
// the frames of the methods it passed through, followed by the info of that
// first report in parentheses when it had one. An error that passed no frame
// gives its description. Control characters are left as they are.
std::string ReasonOf(const SlsErrorInfo& error);

// The run-time error number for the errno of a failed file operation:
// permission denied (a lock held elsewhere among it), path not found, disk
// full, else device I/O error.
int32_t FileErrorNumber(int error);

}  // namespace ole
