// The basket the HTTP tests and benchmarks submit on the demo installation: a
// line of five of SKU 101 at 1.24, filled in as the web pages fill it before
// submission (prices, amounts, address 22, BIS 1).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace testing_support {

// The body of the request that adds the line to a basket.
inline std::string DemoLineRequest() {
    return nlohmann::json{{"SKU", 101}, {"QUANTITY", 5}, {"REQUESTDATE", "2027-01-10"}}.dump();
}

// The basket as the line's request answered it, ready to be put back under `name`.
inline nlohmann::json ReadyForSubmission(nlohmann::json basket, const std::string& name) {
    basket.erase("BASKETLINENR");
    basket["header"]["BASKETNAME"] = name;
    basket["header"]["DISCOUNTPERC"] = 0;
    basket["header"]["SUBTOTAL"] = 6.2;
    basket["header"]["BISID"] = 1;
    for (auto& line : basket["lines"]) {
        line["PRODUCTPRICE"] = 1.24;
        line["LINEAMOUNT"] = 6.2;
        line["DISCOUNTPERC"] = 0;
        line["DISCOUNTAMOUNT"] = 0;
        line["ADDRESSID"] = 22;
        line["PRODUCTUNITCODE"] = "PCS";
    }
    return basket;
}

}  // namespace testing_support
