// The public error numbers of Vendalo: the object-error base (0x80040000)
// plus 301 to 348. Callers and stored logs know them by number, so the values
// never change.
#pragma once

#include <cstdint>

#include "platform/automation/error.h"

namespace vendalo {

enum VendaloError : int32_t {
    MissingBusinessPartnerID = ole::err::ObjectErrorBase + 301,
    MissingOrderDate = ole::err::ObjectErrorBase + 302,
    MissingCurrencyCode = ole::err::ObjectErrorBase + 303,
    MissingProductID = ole::err::ObjectErrorBase + 304,
    HomeCurrencyNotFound = ole::err::ObjectErrorBase + 305,
    HomeCurrencyPriceNotFound = ole::err::ObjectErrorBase + 306,
    ReferentialInsert = ole::err::ObjectErrorBase + 307,
    ReferentialDelete = ole::err::ObjectErrorBase + 308,
    UnexpectedAddPricing = ole::err::ObjectErrorBase + 309,
    UnexpectedGetWebPricing = ole::err::ObjectErrorBase + 310,
    UnexpectedGetBISPricing = ole::err::ObjectErrorBase + 311,
    UnexpectedUpdatePricing = ole::err::ObjectErrorBase + 312,
    UnexpectedDeletePricing = ole::err::ObjectErrorBase + 313,
    MissingEffectiveDate = ole::err::ObjectErrorBase + 314,
    CustomerPriceNotFound = ole::err::ObjectErrorBase + 315,
    ProductPriceNotFound = ole::err::ObjectErrorBase + 316,
    UnexpectedGetCustomerPrice = ole::err::ObjectErrorBase + 317,
    UnexpectedGetProductPrice = ole::err::ObjectErrorBase + 318,
    MissingExpiryDate = ole::err::ObjectErrorBase + 319,
    MissingPrice = ole::err::ObjectErrorBase + 320,
    MissingDiscount = ole::err::ObjectErrorBase + 321,
    InvalidEffectiveDate = ole::err::ObjectErrorBase + 322,
    InvalidExpiryDate = ole::err::ObjectErrorBase + 323,
    InvalidPrice = ole::err::ObjectErrorBase + 324,
    InvalidDiscountPercent = ole::err::ObjectErrorBase + 325,
    InvalidDiscountAmount = ole::err::ObjectErrorBase + 326,
    NonExclusiveDiscount = ole::err::ObjectErrorBase + 327,
    EffectiveDateRange = ole::err::ObjectErrorBase + 328,
    ExpiryDateRange = ole::err::ObjectErrorBase + 329,
    MissingOrderID = ole::err::ObjectErrorBase + 330,
    CreateBusinessPartner = ole::err::ObjectErrorBase + 331,
    OrderNotFound = ole::err::ObjectErrorBase + 332,
    UnexpectedGetOrderForm = ole::err::ObjectErrorBase + 333,
    GetBusinessPartner = ole::err::ObjectErrorBase + 334,
    GetProduct = ole::err::ObjectErrorBase + 335,
    ConfirmationParameter = ole::err::ObjectErrorBase + 336,
    ConfirmationFileNotFound = ole::err::ObjectErrorBase + 337,
    MissingExportFileName = ole::err::ObjectErrorBase + 338,
    MissingExportDirectory = ole::err::ObjectErrorBase + 339,
    MissingAddress = ole::err::ObjectErrorBase + 340,
    MissingHeaderAddress = ole::err::ObjectErrorBase + 341,
    MissingLineAddress = ole::err::ObjectErrorBase + 342,
    MissingOrderInfo = ole::err::ObjectErrorBase + 343,
    ErrorOpenExportFile = ole::err::ObjectErrorBase + 344,
    SalesParameterNotFound = ole::err::ObjectErrorBase + 345,
    UnexpectedGetParameterValue = ole::err::ObjectErrorBase + 346,
    BISIDNotFound = ole::err::ObjectErrorBase + 347,
    InvalidCustomer = ole::err::ObjectErrorBase + 348,
};

static_assert(MissingBusinessPartnerID == static_cast<int32_t>(0x8004012Du));
static_assert(SalesParameterNotFound == static_cast<int32_t>(0x80040159u));
static_assert(InvalidCustomer == static_cast<int32_t>(0x8004015Cu));

}  // namespace vendalo
