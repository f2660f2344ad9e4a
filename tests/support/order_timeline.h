// The invariant of the orders' timelines (ORDEREVENT): every order and line
// has events, numbered 1, 2, ... within the order, each starting from the
// status the one before it left, and the last names the status the row holds.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace testing_support {

// Adds a failure for each order or line that breaks the invariant; returns
// each order's events as "what" texts, the header's as "order: <what>", a
// line's as "line <n>: <what>", in their order.
std::map<std::string, std::vector<std::string>> ExpectEveryStatusHasItsEvent(ado::Connection& connection);

}  // namespace testing_support
