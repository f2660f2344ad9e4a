// The fields of the journal entry of a report (LogTarget=journal): MESSAGE as
// the text line has it, PRIORITY (3 error, 4 warning, 5 notice),
// SYSLOG_IDENTIFIER=backoffice, and BACKOFFICE_LEVEL, _SOURCE, _LABEL, _ERROR,
// _DESCRIPTION, _INFO and the calling thread's context (_REQUEST, _BATCH, ...)
// where they have a value; every value on one line.
#pragma once

#include <string>
#include <vector>

#include "platform/log/log.h"

namespace qx {

std::vector<std::string> JournalFields(const LogRecord& record);

}  // namespace qx
