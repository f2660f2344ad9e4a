// A row of the record of exchanges as the API shows it.
#pragma once

#include "http/http_routes.h"
#include "ordexa/exchange/exchange_actions.h"

namespace backoffice::http {

// "2026-12-09T20:31:07.123Z": a UTC moment as the API writes times.
std::string UtcTimeText(ole::Date time);

json ExchangeJson(const ordexa::ExchangeRow& row);

}  // namespace backoffice::http
