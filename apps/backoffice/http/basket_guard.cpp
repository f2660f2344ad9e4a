#include "http/basket_guard.h"

#include <chrono>
#include <cmath>
#include <map>

#include "http/basket_checks.h"
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/basket.h"
#include "platform/automation/decimal.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

// "BSK" in ASCII: the class of the baskets' advisory locks.
constexpr int32_t kBasketLockClass = 0x42534B;
// A write holds the lock for milliseconds; a request that waits longer is answered 503.
constexpr auto kLockPatience = std::chrono::seconds(10);

// Whether a value of a column reads back as it is (see BasketReadsBackAsIs).
bool ReadsBackAsIs(const ole::Variant& v, ado::DataTypeEnum type) {
    using ole::VarType;
    switch (type) {
        case ado::adSmallInt: return v.Type() == VarType::Integer;
        case ado::adInteger: return v.Type() == VarType::Long;
        case ado::adBigInt: return v.Type() == VarType::LongLong;
        case ado::adDouble: return v.Type() == VarType::Double;
        case ado::adBoolean: return v.Type() == VarType::Boolean;
        case ado::adCurrency: return v.Type() == VarType::Currency;
        case ado::adNumeric:
        case ado::adDecimal:
            // the amount columns keep four decimals: the database would round more
            if (v.Type() == VarType::Currency) return true;
            return v.Type() == VarType::Double && std::isfinite(v.ToDouble()) &&
                   ole::Decimal::FromDouble(v.ToDouble()).Scale() <= 4;
        case ado::adDate: return v.Type() == VarType::Date && !v.ToDate().HasTime();
        case ado::adDBTimeStamp: return v.Type() == VarType::Date;
        case ado::adVarChar:
        case ado::adVarWChar:
        case ado::adLongVarChar:
        case ado::adLongVarWChar: return v.Type() == VarType::String;
        default: return false;  // fixed-width text is padded; anything else: a read tells
    }
}

std::string Trimmed(const std::string& text) {
    size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

}  // namespace

BasketRoute BasketRouteOf(const std::string& routeName) {
    static const std::map<std::string, BasketRoute> kRoutes = {
        {"GET /api/v1/baskets/{id}", BasketRoute::Read},
        {"POST /api/v1/baskets", BasketRoute::Create},
        {"POST /api/v1/baskets/{id}/copy", BasketRoute::Create},
        {"PUT /api/v1/baskets/{id}", BasketRoute::Change},
        {"DELETE /api/v1/baskets/{id}", BasketRoute::End},
        {"POST /api/v1/baskets/{id}/lines", BasketRoute::Change},
        {"DELETE /api/v1/baskets/{id}/lines", BasketRoute::Change},
        {"POST /api/v1/baskets/{id}/submit", BasketRoute::End},
        {"POST /api/v1/baskets/{id}/price", BasketRoute::Change},
    };
    auto found = kRoutes.find(routeName);
    return found == kRoutes.end() ? BasketRoute::None : found->second;
}

BasketLock LockBasket(const std::string& connectionString, const std::filesystem::path& home,
                      const std::string& basketId) {
    const char* taken = "The basket is being changed by another request; try again later";
    BasketLock locked;
    if (ado::DialectOf(connectionString) == ado::Dialect::PostgreSQL) {
        try {
            locked.lock = ado::KeyedLock::BeginLocked(connectionString, kBasketLockClass, basketId, kLockPatience);
            locked.basket =
                Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket")->RestoreIn(locked.lock->Session(), basketId);
        } catch (const ole::AutomationError& e) {
            if (e.Info().Kind == ole::ErrorKind::DatabaseBusy) throw RequestError(503, taken);
            throw;
        }
        locked.read = true;
        return locked;
    }
    locked.lock = ado::KeyedLock::Acquire(connectionString, kBasketLockClass,
                                          (home / "Vendalo" / "basket.lock").string(), basketId, kLockPatience);
    if (!locked.lock) throw RequestError(503, taken);
    return locked;
}

std::string BasketETag(const std::string& basketId, ole::DictionaryPtr* read, const ado::ConnectionPtr& transaction) {
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    auto basket = transaction ? baskets->RestoreIn(transaction, basketId) : baskets->Restore(basketId);
    std::string etag = BasketETagOf(basket);
    if (read && basket) *read = basket;
    return etag;
}

std::string BasketETagOf(const ole::DictionaryPtr& basket) {
    if (!basket) return "";
    std::string etag = BasketETagOfAnswer(DictionaryText(*basket));
    basket->ForEach([](const ole::Variant&, const ole::Variant& item) {
        if (auto rs = item.As<ado::Recordset>(); rs && !(rs->Bof() && rs->Eof())) rs->MoveFirst();
    });
    return etag;
}

std::string BasketETagOfAnswer(const std::string& answerBody) { return "\"" + os::Sha256Hex(answerBody) + "\""; }

bool BasketReadsBackAsIs(const ole::Dictionary& basket) {
    bool asIs = true;
    basket.ForEach([&](const ole::Variant& key, const ole::Variant& item) {
        auto rs = item.As<ado::Recordset>();
        if (!asIs || !rs || (rs->Bof() && rs->Eof())) return;
        const char* table = key.Text() == "header" ? "BASKETHEADER" : key.Text() == "lines" ? "BASKETLINE" : nullptr;
        for (rs->MoveFirst(); asIs && !rs->Eof(); rs->MoveNext())
            for (int i = 0; asIs && i < rs->FieldCount(); ++i) {
                auto field = rs->Fields(i);
                const ole::Variant& v = field.ValueRef();
                // a column an insert left out is stored null, unless the database has a default for it
                if (v.IsEmpty()) asIs = table && !ColumnHasDefault(table, field.Name());
                else asIs = v.IsNull() || ReadsBackAsIs(v, field.Type());
            }
        rs->MoveFirst();
    });
    return asIs;
}

bool IfMatchHolds(const std::string& ifMatch, const std::string& etag) {
    size_t from = 0;
    while (from <= ifMatch.size()) {
        size_t comma = ifMatch.find(',', from);
        if (comma == std::string::npos) comma = ifMatch.size();
        std::string candidate = Trimmed(ifMatch.substr(from, comma - from));
        if (candidate == "*" || candidate == etag) return true;
        from = comma + 1;
    }
    return false;
}

}  // namespace backoffice::http
