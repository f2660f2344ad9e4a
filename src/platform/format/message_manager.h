// The message manager: localized label texts by label code. Web pages pass
// their own to the order form rendering; callers without one of their own use
// the label catalogues of the installation (format/label_catalogue.h).
#pragma once

#include <string>

#include "platform/automation/variant.h"

namespace qx {

class IMessageManager : public ole::Object {
public:
    // The text of a label code for a user locale ("1033", "1043", ...).
    virtual std::string GetMessage(const std::string& code, const std::string& locale) = 0;
};

}  // namespace qx
