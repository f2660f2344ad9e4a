#include "platform/masterdata/business_partner.h"

#include <algorithm>
#include <cstdlib>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/config/configuration.h"
#include "platform/data/transaction.h"

namespace qx {
namespace {

const char* kSource = "QxCommon.BusinessPartner";

struct Partner {
    bool loaded = false;
    int32_t id = 0;
    int32_t postal = 0, shipping = 0;
    std::string currency, carrier, name, orderRequestUrl;
};

// The next address id, inside the caller's transaction. The counter row is
// taken first, so concurrent callers wait for each other; it never falls
// below the highest id in ADDRESS (rows loaded by other means), and it never
// goes back, so the id of an address removed again is not handed out twice.
int32_t NextAddressId(ado::Connection& c) {
    auto counter =
        c.Execute("UPDATE IDSEQUENCE SET LASTVALUE = LASTVALUE + 1 WHERE NAME = 'ADDRESS' RETURNING LASTVALUE");
    bool stored = counter && !counter->Eof();
    int64_t fromCounter = stored ? counter->Fields(0).Value().ToLongLong() : 0;
    int64_t next = std::max<int64_t>(
        fromCounter, c.Execute("SELECT COALESCE(MAX(ADDRESSID), 0) + 1 FROM ADDRESS")->Fields(0).Value().ToLongLong());
    if (next > INT32_MAX) ole::Raise(ole::err::Overflow, "No address id is left", kSource);
    if (!stored)  // an installation from before the counter
        c.Execute("INSERT INTO IDSEQUENCE (NAME, LASTVALUE) VALUES ('ADDRESS', ?)", nullptr, -1, {ole::Variant(next)});
    else if (next != fromCounter)
        c.Execute("UPDATE IDSEQUENCE SET LASTVALUE = ? WHERE NAME = 'ADDRESS'", nullptr, -1, {ole::Variant(next)});
    return static_cast<int32_t>(next);
}


class BusinessPartner : public IBusinessPartner {
public:
    void GetBusinessPartner(int32_t id) override { current_ = Load(id); }
    int32_t GetPostalAddressID() override { return Current().postal; }
    int32_t GetPostalAddressID(int32_t id) override { return Load(id).postal; }
    int32_t GetShippingAddressID() override { return Current().shipping; }
    int32_t GetShippingAddressID(int32_t id) override { return Load(id).shipping; }
    std::string GetCustomerCurrency() override { return Current().currency; }
    std::string GetCustomerCurrency(int32_t id) override { return Load(id).currency; }
    std::string GetCustomerCarrier() override { return Current().carrier; }
    std::string GetCustomerCarrier(int32_t id) override { return Load(id).carrier; }
    std::string GetOrderRequestUrl(int32_t id) override { return Load(id).orderRequestUrl; }
    std::string GetBusinessPartnerName(int32_t id) override { return Load(id).name; }

    std::string GetBISAddressCodeFromAddressID(int32_t addressId) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT BISADDRESSCODE FROM ADDRESS WHERE ADDRESSID = ?", nullptr, -1, {addressId});
        std::string code = rs->Eof() ? "" : rs->Fields(0).Value().Text();
        c->Close();
        return code;
    }

    ado::RecordsetPtr GetAddress(int32_t addressId) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = std::make_shared<ado::Recordset>();
        rs->CursorLocation = ado::adUseClient;
        rs->Open(kAddressSelect, c, ado::adOpenStatic, ado::adLockReadOnly, -1, {addressId});
        rs->SetActiveConnection(nullptr);
        c->Close();
        return rs;
    }

    int32_t GetAddressIdByName(const std::string& name1, int32_t id) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT ADDRESSID FROM ADDRESS WHERE BUSINESSPARTNERID = ? AND NAME1 = ? ORDER BY ADDRESSID",
                             nullptr, -1, {id, name1});
        int32_t found = rs->Eof() ? -1 : rs->Fields(0).Value().ToLong();
        c->Close();
        return found;
    }

    int32_t AddNewAddressEx(const ole::Dictionary& a, int32_t id) override {
        try {
            auto c = ado::OpenConnection(MasterDataConnectionString());
            ado::Transaction tx(*c);
            int32_t addressId = InsertAddress(*c, a, id);
            tx.Commit();
            c->Close();
            return addressId;
        } catch (const ole::AutomationError&) {
            return -1;
        }
    }

    int32_t GetBusinessPartnerIdOfUser(const std::string& userId) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute(kPartnerOfUserSelect, nullptr, -1, {userId});
        int32_t partner = PartnerOfUserFrom(*rs);
        c->Close();
        return partner;
    }

    void Release() override { current_ = Partner(); }

private:
    const Partner& Current() const {
        if (!current_.loaded) ole::Raise(kBusinessPartnerNotFound, "No business partner is loaded", kSource);
        return current_;
    }

    static Partner Load(int32_t id) {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute(kBusinessPartnerSelect, nullptr, -1, {id});
        if (rs->Eof())
            ole::Raise(kBusinessPartnerNotFound, "Business partner " + std::to_string(id) + " not found", kSource);
        Partner p;
        p.loaded = true;
        p.id = id;
        p.postal = rs->Fields(0).Value().IsNull() ? 0 : rs->Fields(0).Value().ToLong();
        p.shipping = rs->Fields(1).Value().IsNull() ? 0 : rs->Fields(1).Value().ToLong();
        p.currency = rs->Fields(2).Value().Text();
        p.carrier = rs->Fields(3).Value().Text();
        p.name = rs->Fields(4).Value().Text();
        p.orderRequestUrl = rs->Fields(5).Value().Text();
        c->Close();
        return p;
    }

    Partner current_;
};

}  // namespace

const char* const kAddressSelect =
    "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, COUNTRYCODE, "
    "PHONE, FAX, COUNTRYNAME, ADDRESSID, BUSINESSPARTNERID FROM ADDRESS WHERE ADDRESSID = ?";

const char* const kBusinessPartnerSelect =
    "SELECT POSTALADDRESSID, SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, NAME, ORDERREQUESTURL "
    "FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?";

const char* const kPartnerOfUserSelect = "SELECT BUSINESSPARTNERID FROM WEBUSER WHERE USERID = ?";

int32_t PartnerOfUserFrom(ado::Recordset& rows) {
    return rows.Eof() || rows.Fields(0).Value().IsNull() ? -1 : rows.Fields(0).Value().ToLong();
}

int32_t InsertAddress(ado::Connection& c, const ole::Dictionary& a, int32_t id) {
    int32_t addressId = NextAddressId(c);
    auto text = [&](int key) { return ole::Variant(a.Item(key).Text()); };
    c.Execute(
        "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
        "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, SHORTDESCRIPTION) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        nullptr, -1,
        {addressId, id, text(0), text(1), text(2), text(3), text(4), text(5), text(6), text(7), text(8), text(9),
         text(10), text(11)});
    return addressId;
}

std::string MasterDataConnectionString() {
    thread_local std::string home, connectionString;
    const char* env = std::getenv("VENDALO_HOME");
    std::string now = env ? env : "";
    if (now != home || connectionString.empty()) {
        auto config = ole::CreateObjectAs<IConfiguration>("Qxcore.Configuration");
        config->LoadProduct("Vendalo", 0);
        connectionString = config->GetConnectionString("Vendalo");
        home = now;
    }
    return connectionString;
}

void RegisterBusinessPartner() { ole::RegisterClass<BusinessPartner>("QxCommon.BusinessPartner"); }

}  // namespace qx
