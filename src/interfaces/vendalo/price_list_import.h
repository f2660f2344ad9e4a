// Vendalo.PriceListImport: a price list in CSV loaded into CUSTOMERPRICE or
// PRODUCTPRICE with the rules of Pricing.AddPricing and UpdatePricing.
//
// The file: UTF-8, "," between fields, fields with "," or quotes between double
// quotes (a quote inside doubled), first row a header naming the columns
// (PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE,
// PRICE, DISCOUNTPERC, DISCOUNTAMOUNT; any case, any order). A header with
// BUSINESSPARTNERID makes it a list of customer prices, else of list prices.
// PRODUCTID, CURRENCYCODE, EFFECTIVEDATE and PRICE are required columns; an
// absent EXPIRYDATE, DISCOUNTPERC or DISCOUNTAMOUNT column, and an empty field,
// count as Null (open end, no discount). Dates "yyyy-mm-dd"; numbers with ".".
//
// A row whose key (partner, product, currency, effective date) is stored
// updates that record (UpdatePricing's rules); any other row is added
// (AddPricing's rules). Rows are taken in key and effective-date order, so a
// year's consecutive ranges are accepted in any row order. All rows go in one
// transaction on one connection: when any row is refused nothing is stored, and
// the result names every refused row with its line number and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace vendalo {

struct PriceListProblem {
    int64_t line = 0;    // the line of the file the row starts on (the header is line 1)
    int32_t number = 0;  // the error number (a VendaloError for a rule)
    std::string text;    // e.g. "InvalidPrice: PRICE 'abc' is no number of 0 or more"
};

struct PriceListResult {
    bool customerPrices = false;
    size_t rows = 0;      // data rows read
    size_t added = 0;     // rows that would be or were added
    size_t updated = 0;   // rows that would update or updated a stored record
    std::vector<PriceListProblem> refused;  // in line order
    // True when the rows were stored (no row refused).
    bool Stored() const { return refused.empty(); }
};

// Told the rows checked and stored so far and the rows in all.
using PriceListProgress = std::function<void(size_t done, size_t total)>;

class IPriceListImport : public virtual ole::Object {
public:
    // Loads the file (a regular file; a FIFO or folder is refused). A file that
    // cannot be read, or a database failure, raises; refused rows do not.
    virtual PriceListResult ImportFile(const std::string& path, const PriceListProgress& progress = nullptr) = 0;
    // The same for the text of a file (an upload).
    virtual PriceListResult ImportText(const std::string& csv, const PriceListProgress& progress = nullptr) = 0;
};

}  // namespace vendalo
