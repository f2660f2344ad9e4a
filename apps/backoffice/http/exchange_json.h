// A row of the record of exchanges as the API shows it.
#pragma once

#include "http/http_routes.h"
#include "ordexa/exchange/exchange_actions.h"

namespace backoffice::http {

json ExchangeJson(const ordexa::ExchangeRow& row);

}  // namespace backoffice::http
