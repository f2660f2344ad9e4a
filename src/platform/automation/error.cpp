#include "platform/automation/error.h"

#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>

namespace ole {

const char* RuntimeErrorText(int32_t number) {
    switch (number) {
        case err::InvalidProcedureCall: return "Invalid procedure call or argument";
        case err::Overflow: return "Overflow";
        case err::OutOfMemory: return "Out of memory";
        case err::SubscriptOutOfRange: return "Subscript out of range";
        case err::DivisionByZero: return "Division by zero";
        case err::TypeMismatch: return "Type mismatch";
        case err::FileNotFound: return "File not found";
        case err::FileAlreadyOpen: return "File already open";
        case err::DeviceIOError: return "Device I/O error";
        case err::DiskFull: return "Disk full";
        case err::PermissionDenied: return "Permission denied";
        case err::PathNotFound: return "Path not found";
        case err::ObjectNotSet: return "Object variable or With block variable not set";
        case err::InvalidUseOfNull: return "Invalid use of Null";
        case err::ObjectRequired: return "Object required";
        case err::CannotCreateObject: return "ActiveX component can't create object";
        case err::NotSupported: return "Object doesn't support this property or method";
        case err::AutomationFailure: return "Automation error";
        case err::KeyAlreadyExists: return "This key is already associated with an element of this collection";
        case err::ElementNotFound: return "Element not found";
        default: return "";
    }
}

void Raise(int32_t number) { throw AutomationError(number, RuntimeErrorText(number)); }

void Raise(int32_t number, const std::string& description, const std::string& source) {
    throw AutomationError(number, description, source);
}

SlsErrorInfo CurrentError() {
    std::exception_ptr current = std::current_exception();
    if (!current) return {};
    try {
        std::rethrow_exception(current);
    } catch (const AutomationError& e) {
        return e.Info();
    } catch (const std::bad_alloc&) {
        return {err::OutOfMemory, {}, RuntimeErrorText(err::OutOfMemory), {}, 0};
    } catch (const std::filesystem::filesystem_error& e) {
        int32_t number = err::PathNotFound;
        if (e.code() == std::errc::permission_denied) number = err::PermissionDenied;
        return {number, {}, e.what(), {}, 0};
    } catch (const std::exception& e) {
        return {err::AutomationFailure, {}, e.what(), {}, 0};
    } catch (...) {
        return {err::AutomationFailure, {}, RuntimeErrorText(err::AutomationFailure), {}, 0};
    }
}

std::string CurrentDescription() { return CurrentError().Description; }

std::string ReasonOf(const SlsErrorInfo& error) {
    if (error.Methods.empty()) return error.Description;
    return error.ReasonInfo.empty() ? error.Reason : error.Reason + " (" + error.ReasonInfo + ")";
}

int32_t FileErrorNumber(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
        case EWOULDBLOCK:
            return err::PermissionDenied;
        case ENOENT:
        case ENOTDIR:
            return err::PathNotFound;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return err::DiskFull;
        default:
            return err::DeviceIOError;
    }
}

}  // namespace ole
