#include "platform/masterdata/product_catalog.h"

#include <iterator>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

const char* kSource = "QxCatalog.Product";
const char* const kColumns[] = {"COMMODITYCODE", "CONTRACTCODE", "NUMBER", "PRODUCTDESCRIPTION", "UNITCODE",
                                "PARTNUMBER"};


class Product : public IProduct {
public:
    ole::DictionaryPtr GetProduct(int32_t productId) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute(kProductSelect, nullptr, -1, {productId});
        auto product = ProductRecordOf(*rs);
        if (!product) ole::Raise(kProductNotFound, "Product " + std::to_string(productId) + " not found", kSource);
        c->Close();
        return product;
    }

    int32_t getProductIDFromPartNum(const std::string& partNumber) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT PRODUCTID FROM PRODUCT WHERE PARTNUMBER = ?", nullptr, -1, {partNumber});
        int32_t id = rs->Eof() ? -1 : rs->Fields(0).Value().ToLong();
        c->Close();
        return id;
    }
};

}  // namespace

const char* const kProductSelect =
    "SELECT COMMODITYCODE, CONTRACTCODE, NUMBER, PRODUCTDESCRIPTION, UNITCODE, PARTNUMBER FROM PRODUCT WHERE PRODUCTID = ?";

ole::DictionaryPtr ProductRecordOf(ado::Recordset& rows) {
    if (rows.Eof()) return nullptr;
    auto product = std::make_shared<ole::Dictionary>();
    for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) product->Add(kColumns[i], rows.Fields(i).Value());
    return product;
}

void RegisterProductCatalog() { ole::RegisterClass<Product>("QxCatalog.Product"); }

}  // namespace qx
