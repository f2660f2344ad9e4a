// Vendalo.FreightCost: the freight charge for a quantity of one product sent by
// one carrier from the product's ship-from zone to a ship-to zone, and the zones
// themselves: the ship-to zone of a country and zip code, the ship-from zone and
// freight group of a product, zone descriptions. It reads ZONES,
// COUNTRIESBYZONE, FREIGHTGROUP, FREIGHTPRODUCT and FREIGHTPRICE and writes
// nothing.
//
// The object keeps the zone of the last InitZone and the freight product of the
// last InitFreightProduct (a new object holds 0 and ""). A product without
// freight group and a missing tariff raise kFreightError (0x80040400); a missing
// zone does not raise: it is logged, and InitZone answers false.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/error.h"
#include "platform/automation/variant.h"

namespace vendalo {

constexpr int32_t kFreightError = ole::err::ObjectErrorBase + 1024;

class IFreightCost : public virtual ole::Object {
public:
    // DELIVERYFREIGHTCOST + quantity x ITEMFREIGHTCOST + the product's additional
    // cost (once per call), computed in decimal; 0 when the product's freight
    // group or ship-from zone is 0, or the quantity is 0 (no tariff is read then).
    virtual double GetFreightCost(const ole::Variant& iProduct, const ole::Variant& iCarrier, const ole::Variant& iSTZOne,
                                  const ole::Variant& iNumber) = 0;
    // The product's ship-from zone.
    virtual int16_t GetFromZone(const ole::Variant& iProductID) = 0;
    // The zone of the country's row with the smallest MAXZIPCODE not below the zip
    // code, compared as text in byte order on every database.
    virtual bool InitZone(const std::string& iCountryCode, const std::string& iZipCode) = 0;
    virtual int16_t ZoneId() const = 0;
    virtual std::string ZoneDescription() const = 0;
    // Reads the product's freight group, ship-from zone and additional cost (rounded
    // to a whole number, halves to even); false when the group or zone is 0.
    virtual bool InitFreightProduct(const ole::Variant& iProduct) = 0;
    // The zone's description; "" (and a log entry) for an unknown zone.
    virtual std::string GetZoneDescription(int16_t iZoneId) = 0;
    // True when the freight groups ship from more than one zone.
    virtual bool MultipleShipFromZonesByFreightGroupPresent() = 0;
    // 16-bit integers in Variants.
    virtual ole::Variant FreightGroupID() const = 0;
    virtual ole::Variant ShipFromZoneID() const = 0;
    virtual ole::Variant AdditionalCost() const = 0;
};

}  // namespace vendalo
