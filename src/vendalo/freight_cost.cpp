#include "interfaces/vendalo/freight_cost.h"

#include "platform/automation/decimal.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

using ole::Variant;

class FreightCost : public IFreightCost {
public:
    double GetFreightCost(const Variant& iProduct, const Variant& iCarrier, const Variant& iSTZOne,
                          const Variant& iNumber) override {
        ado::ConnectionPtr connection;
        try {
            if (!InitFreightProduct(iProduct)) return 0;
            if (iNumber.ToDouble() == 0) return 0;
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto tariff = connection->Execute(
                "SELECT * FROM FREIGHTPRICE WHERE (FREIGHTGROUPID = ? AND CARRIER = ? AND SHIPFROMZONEID = ? AND "
                "SHIPTOZONEID = ?)",
                nullptr, -1, {Variant(freightGroupId_), Variant(iCarrier.Text()), Variant(shipFromZoneId_), Variant(iSTZOne.ToInt())});
            connection->Close();
            if (tariff->Eof())
                ole::Raise(kFreightError, "No Freight Cost record defined.", "Vendalo.FreightCost.GetFreightCost");
            // the additional cost is charged once per delivery, not per item
            ole::Decimal charge = ole::Decimal::FromVariant(tariff->Fields("DELIVERYFREIGHTCOST").Value()) +
                                  ole::Decimal::FromVariant(iNumber) *
                                      ole::Decimal::FromVariant(tariff->Fields("ITEMFREIGHTCOST").Value()) +
                                  ole::Decimal::FromInt(additionalCost_);
            return charge.ToDouble();
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.GetFreightCost");
        }
    }

    int16_t GetFromZone(const Variant& iProductID) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto rs = connection->Execute(
                "SELECT FREIGHTGROUP.SHIPFROMZONE FROM FREIGHTPRODUCT INNER JOIN FREIGHTGROUP ON "
                "FREIGHTPRODUCT.FREIGHTGROUPID = FREIGHTGROUP.FREIGHTGROUPID WHERE PRODUCTID = ?",
                nullptr, -1, {BoundIntegerKey(iProductID)});
            connection->Close();
            return rs->Fields("SHIPFROMZONE").Value().ToInt();  // no row: no current record
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.GetFromZone");
        }
    }

    bool InitZone(const std::string& iCountryCode, const std::string& iZipCode) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            // zip codes compare as text in byte order on both databases
            std::string collate = connection->GetDialect() == ado::Dialect::PostgreSQL ? " COLLATE \"C\"" : "";
            auto rs = connection->Execute(
                "SELECT ZONES.ZONEID, ZONES.ZONEDESCRIPTION, COUNTRIESBYZONE.MAXZIPCODE FROM COUNTRIESBYZONE INNER JOIN "
                "ZONES ON COUNTRIESBYZONE.ZONEID = ZONES.ZONEID WHERE (COUNTRIESBYZONE.COUNTRY = ?) AND "
                "(COUNTRIESBYZONE.MAXZIPCODE" + collate + " >= ?) ORDER BY COUNTRIESBYZONE.MAXZIPCODE" + collate +
                    " LIMIT 1",
                nullptr, -1, {Variant(iCountryCode), Variant(iZipCode)});
            connection->Close();
            if (rs->Eof()) {
                Sls_LogError("Vendalo.FreightCost.InitZone: Zone is not defined for country " + iCountryCode +
                             " and zip code " + iZipCode + " !");
                zoneId_ = 0;
                zoneDescription_.clear();
            } else {
                zoneId_ = rs->Fields("ZONEID").Value().ToInt();
                zoneDescription_ = rs->Fields("ZONEDESCRIPTION").Value().ToString();
            }
            return !zoneDescription_.empty() && zoneId_ != 0;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.InitZone");
        }
    }

    int16_t ZoneId() const override { return zoneId_; }
    std::string ZoneDescription() const override { return zoneDescription_; }

    bool InitFreightProduct(const Variant& iProduct) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto rs = connection->Execute(
                "SELECT FREIGHTGROUP.SHIPFROMZONE, FREIGHTPRODUCT.FREIGHTGROUPID, FREIGHTPRODUCT.ADDITIONALCOST FROM "
                "FREIGHTGROUP INNER JOIN FREIGHTPRODUCT ON FREIGHTGROUP.FREIGHTGROUPID = FREIGHTPRODUCT.FREIGHTGROUPID "
                "WHERE FREIGHTPRODUCT.PRODUCTID = ?",
                nullptr, -1, {BoundIntegerKey(iProduct)});
            connection->Close();
            if (rs->Eof())
                ole::Raise(kFreightError, "No Freight Group defined for :" + iProduct.Text(),
                           "Vendalo.FreightCost.InitFreightProduct");
            freightGroupId_ = rs->Fields("FREIGHTGROUPID").Value().ToInt();
            shipFromZoneId_ = rs->Fields("SHIPFROMZONE").Value().ToInt();
            additionalCost_ = rs->Fields("ADDITIONALCOST").Value().ToInt();  // halves to even
            return freightGroupId_ != 0 && shipFromZoneId_ != 0;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.InitFreightProduct");
        }
    }

    std::string GetZoneDescription(int16_t iZoneId) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto rs = connection->Execute("SELECT ZONEDESCRIPTION FROM ZONES WHERE ZONEID = ? LIMIT 1", nullptr, -1,
                                          {Variant(iZoneId)});
            connection->Close();
            if (rs->Eof()) {
                Sls_LogError("Vendalo.FreightCost.GetZoneDescription: Zone not found for id '" + std::to_string(iZoneId) +
                             "'");
                return "";
            }
            return rs->Fields("ZONEDESCRIPTION").Value().Text();
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.GetZoneDescription");
        }
    }

    bool MultipleShipFromZonesByFreightGroupPresent() override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto rs = connection->Execute("SELECT count(SHIPFROMZONE) FROM FREIGHTGROUP GROUP BY SHIPFROMZONE");
            connection->Close();
            return rs->RecordCount() > 1;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Vendalo.FreightCost.MultipleShipFromZonesByFreightGroupPresent");
        }
    }

    Variant FreightGroupID() const override { return Variant(freightGroupId_); }
    Variant ShipFromZoneID() const override { return Variant(shipFromZoneId_); }
    Variant AdditionalCost() const override { return Variant(additionalCost_); }

private:
    int16_t zoneId_ = 0;
    std::string zoneDescription_;
    int16_t freightGroupId_ = 0;
    int16_t shipFromZoneId_ = 0;
    int16_t additionalCost_ = 0;
};

}  // namespace

void RegisterFreightCost() { ole::RegisterClass<FreightCost>("Vendalo.FreightCost"); }

}  // namespace vendalo
