// Customers and their addresses (ProgID "QxCommon.BusinessPartner"), kept in
// the master-data tables BUSINESSPARTNER and ADDRESS of the sales database.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"

namespace qx {

// Raised when a partner or address the caller names does not exist.
constexpr int32_t kBusinessPartnerNotFound = static_cast<int32_t>(0x80040201u);

class IBusinessPartner : public ole::Object {
public:
    // Loads a partner: the operations without an id answer for it.
    virtual void GetBusinessPartner(int32_t businessPartnerId) = 0;
    virtual int32_t GetPostalAddressID() = 0;
    virtual int32_t GetPostalAddressID(int32_t businessPartnerId) = 0;
    virtual int32_t GetShippingAddressID() = 0;
    virtual int32_t GetShippingAddressID(int32_t businessPartnerId) = 0;
    virtual std::string GetCustomerCurrency() = 0;
    virtual std::string GetCustomerCurrency(int32_t businessPartnerId) = 0;
    virtual std::string GetCustomerCarrier() = 0;
    virtual std::string GetCustomerCarrier(int32_t businessPartnerId) = 0;
    // The back end's code of an address, possibly empty.
    virtual std::string GetBISAddressCodeFromAddressID(int32_t addressId) = 0;
    // The address record: SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2,
    // STATEPROVINCE, ZIPCODE, COUNTRYCODE, PHONE, FAX, COUNTRYNAME (no row for an unknown id).
    virtual ado::RecordsetPtr GetAddress(int32_t addressId) = 0;
    virtual std::string GetOrderRequestUrl(int32_t businessPartnerId) = 0;
    virtual std::string GetBusinessPartnerName(int32_t businessPartnerId) = 0;
    // The address id of the partner's address with that NAME1, or -1.
    virtual int32_t GetAddressIdByName(const std::string& name1, int32_t businessPartnerId) = 0;
    // Adds an address from a dictionary keyed 0..11 (COUNTRYCODE, NAME1, NAME2, STREET1,
    // STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, SHORTDESCRIPTION); the new id, or -1.
    // Ids only grow: an address removed again never lends its id to another.
    virtual int32_t AddNewAddressEx(const ole::Dictionary& address, int32_t businessPartnerId) = 0;
    // The partner a shop user (WEBUSER) belongs to; -1 for an unknown user or one of no partner.
    virtual int32_t GetBusinessPartnerIdOfUser(const std::string& userId) = 0;
    virtual void Release() = 0;
};

// The connection string of the main installation's product configuration, kept
// per thread for as long as VENDALO_HOME stays the same: the master-data stand-ins
// read the sales database with it.
std::string MasterDataConnectionString();

// The statements GetAddress, the partner's loading and GetBusinessPartnerIdOfUser run
// (one "?": ADDRESSID, BUSINESSPARTNERID, USERID), for callers that read them in a batch
// of their own on the sales database. A partner's statement yields no row for an unknown one.
extern const char* const kAddressSelect;
extern const char* const kBusinessPartnerSelect;
extern const char* const kPartnerOfUserSelect;
// GetBusinessPartnerIdOfUser's answer from the rows of kPartnerOfUserSelect.
int32_t PartnerOfUserFrom(ado::Recordset& rows);

// What AddNewAddressEx stores, on the caller's connection and inside the
// transaction it holds (the id is taken from the same counter): the new id;
// raises when the address cannot be stored.
int32_t InsertAddress(ado::Connection& connection, const ole::Dictionary& address, int32_t businessPartnerId);

void RegisterBusinessPartner();  // "QxCommon.BusinessPartner"

}  // namespace qx
