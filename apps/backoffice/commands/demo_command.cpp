// `backoffice demo`: the web shop's part of the demo. A few customers fill
// baskets (through "Vendalo.Basket", with the fields the web pages fill),
// priced as the shop API prices them (http/basket_pricing.h), and submit them
// as orders (through "Vendalo.Order"); the batch takes it from there.
#include <iostream>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <vector>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "http/basket_checks.h"
#include "http/basket_pricing.h"
#include "http/host_settings.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "ordexa/payment/checkout_authorization.h"
#include "platform/automation/decimal.h"
#include "platform/gateway/gateway_client.h"
#include "shared/lib_sales.h"

namespace backoffice {
namespace {

using ole::Variant;

struct DemoLine {
    int product;
    int quantity;
    int address;  // 0: the basket's delivery address
    bool configured = false;
    std::string text;
};

struct DemoBasket {
    std::string user;
    int partner;
    std::string name, purchaseOrder, headerText;
    int paymentMethod;  // 1 invoice, 2 credit card
    std::vector<DemoLine> lines;
};

const std::vector<DemoBasket> kBaskets = {
    {"jdevries", 2, "Monthly fasteners", "PO-2026-118", "Deliver between 8:00 and 16:00", 1,
     {{101, 500, 0, false, ""}, {102, 500, 0, false, ""}, {103, 25, 23, false, "Cut in lengths of 5 m"}}},
    {"abakker", 2, "Replacement pump", "PO-2026-119", "", 2,
     {{104, 1, 0, true, ""}}},
    {"msmith", 3, "Plant maintenance", "LT-7781", "", 1,
     {{101, 200, 0, false, ""}, {103, 100, 33, false, ""}}},
    {"msmith", 3, "Spare washers", "LT-7782", "", 1,
     {{102, 1000, 0, false, ""}}},
    {"kweber", 4, "Crane maintenance", "RA-5512", "Please call before delivery", 1,
     {{101, 300, 0, false, ""}, {103, 40, 43, false, "One drum of 40 m"}}},
};

Variant PartnerValue(int partner, const char* column) {
    auto rs = Sls_GetDisconnectedRecordset(std::string("SELECT ") + column + " FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?",
                                           Sls_ConnectionString(), {Variant(partner)});
    return rs->Eof() ? ole::Null : rs->Fields(0).Value();
}

// The card the demo's card customer pays with (a test number that the gateway simulator authorises).
ordexa::CheckoutCard DemoCard() {
    ordexa::CheckoutCard card;
    card.number = "4111 1111 1111 1111";
    card.expiryMonth = "12";
    card.expiryYear = std::to_string(ole::Date::Today().Year() + 2);
    card.type = "001";
    card.firstName = "Anna";
    card.lastName = "Bakker";
    card.email = "a.bakker@noordhaven.example";
    card.phone = "+31 50 000 0012";
    card.street = "Kade 12";
    card.city = "Groningen";
    card.zip = "9711 AB";
    card.country = "NL";
    return card;
}

// Where the checkout page sends the card: in-process (no URL), or through the
// host's API at `url` with the installation's shop key, as the shop's pages do.
struct Checkout {
    std::string url, shopKey;
};

void ShowAuthorization(bool authorized, const std::string& masked, const std::string& requestId,
                       const std::string& reason) {
    if (authorized)
        std::cout << "  card " << masked << " authorised at checkout (request " << requestId << ")\n";
    else
        std::cout << "  card " << masked << " not authorised at checkout: "
                  << (reason.empty() ? "declined by the gateway" : reason) << "\n";
}

void AuthorizeCardOverHttp(const Checkout& checkout, const std::string& basketId) {
    ordexa::CheckoutCard c = DemoCard();
    nlohmann::json body = {{"number", c.number},       {"expiryMonth", c.expiryMonth}, {"expiryYear", c.expiryYear},
                           {"type", c.type},           {"firstName", c.firstName},     {"lastName", c.lastName},
                           {"email", c.email},         {"phone", c.phone},             {"street", c.street},
                           {"city", c.city},           {"zip", c.zip},                 {"country", c.country}};
    httplib::Client client(checkout.url);
    client.set_connection_timeout(5);
    client.set_read_timeout(30);
    client.set_bearer_token_auth(checkout.shopKey);
    auto answer = client.Post("/api/v1/baskets/" + basketId + "/authorize", body.dump(), "application/json");
    if (!answer) {
        std::cout << "  card not authorised at checkout: the host at " << checkout.url << " did not answer\n";
        return;
    }
    auto reply = nlohmann::json::parse(answer->body, nullptr, false);
    if (answer->status == 200 || answer->status == 402) {
        std::string requestId = reply["reply"].value("request_id", "");
        ShowAuthorization(answer->status == 200, reply.value("maskedNumber", ""), requestId, "");
    } else {
        std::string why = reply.is_object() && reply.contains("error") ? reply["error"].value("description", "")
                                                                      : "HTTP status " + std::to_string(answer->status);
        std::cout << "  card not authorised at checkout: " << TerminalText(why) << "\n";
    }
}

// The checkout page's authorisation of a card basket, shown as the demo goes.
void AuthorizeCard(const Checkout& checkout, const std::string& basketId) {
    if (!checkout.url.empty()) return AuthorizeCardOverHttp(checkout, basketId);
    try {
        auto result = ordexa::AuthorizeBasketCheckout(basketId, DemoCard());
        std::string requestId;
        for (const auto& [name, value] : result.reply)
            if (name == "request_id") requestId = value;
        ShowAuthorization(result.status == ordexa::CheckoutAuthorization::Status::Authorized, result.maskedNumber,
                          requestId, result.reason);
    } catch (const ole::AutomationError& e) {
        // without a gateway the demo goes on: the order is submitted without its checkout authorisation
        std::cout << "  card not authorised at checkout: " << Reason(e)
                  << " (is the gateway simulator running? `make run` starts it)\n";
    }
}

// The order's id and its total as the basket was priced ("1310.00 EUR").
struct Placed {
    std::string id, total;
};

Placed PlaceOrder(const DemoBasket& d, const Checkout& checkout) {
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    Variant basket = baskets->Create(d.user, d.partner);
    for (const auto& l : d.lines)
        baskets->AddLine(basket, l.product, l.quantity, ole::Date{ole::Date::Today().serial + 14}, l.configured, l.configured ? "CFG-1001" : "");
    auto dictionary = basket.As<ole::Dictionary>();
    auto header = dictionary->Item("header").As<ado::Recordset>();
    auto lines = dictionary->Item("lines").As<ado::Recordset>();
    size_t k = 0;
    for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext(), ++k) {
        const DemoLine& l = d.lines[k];
        if (l.address) lines->Fields("ADDRESSID") = l.address;
        if (!l.text.empty()) lines->Fields("LINETEXT") = l.text;
    }
    header->Fields("BASKETNAME") = d.name;
    header->Fields("CUSTOMERPONUMBER") = d.purchaseOrder;
    if (!d.headerText.empty()) header->Fields("BASKETTEXT") = d.headerText;
    header->Fields("BISID") = PartnerValue(d.partner, "BISID");  // the partner's back end takes the order
    header->Fields("CUSTOMERCODE") = PartnerValue(d.partner, "CUSTOMERCODE");
    header->Fields("CUSTOMERNAME") = PartnerValue(d.partner, "NAME");
    header->Fields("PAYMENTMETHOD") = d.paymentMethod;
    // priced as the shop API prices: web prices, freight by zone and carrier, the totals
    http::Lookups lookups;
    http::CheckPricing(lookups, *dictionary);
    http::BasketPricer(lookups).Price(*dictionary);
    baskets->Save(basket);
    if (d.paymentMethod == 2) AuthorizeCard(checkout, header->Fields("BASKETID").Value().ToString());
    Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->SubmitBasket(basket);
    return {header->Fields("BASKETID").Value().ToString(),
            ole::Decimal::FromVariant(header->Fields("TOTAL").Value()).ToFixed(header->Fields("CURRENCYDECIMALS").Value().ToInt()) +
                " " + header->Fields("CURRENCYCODE").Value().Text()};
}

}  // namespace

int RunDemo(const std::optional<std::string>& given, const std::string& checkoutUrl) {
    int exitCode = 0;
    auto home = UseInstallation("demo", given, exitCode);
    if (!home) return exitCode;
    std::cout << "The web shop places " << kBaskets.size() << " orders in " << *home << ":\n";
    try {
        Checkout checkout{checkoutUrl, checkoutUrl.empty() ? "" : ReadHostSettings(*home).shopApiKey};
        for (const auto& d : kBaskets) {
            Placed order = PlaceOrder(d, checkout);
            std::cout << "  order " << order.id << ": " << d.user << " of partner " << d.partner << ", " << d.lines.size()
                      << " line(s), " << order.total << " with freight, " << (d.paymentMethod == 2 ? "paid by card" : "on invoice")
                      << "\n";
        }
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice demo: " << Reason(e) << "\n";
        return 1;
    } catch (const http::RequestError& e) {  // a basket the demo data cannot price
        std::cerr << "backoffice demo: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

void AddDemoCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("demo", "play the web shop: five demo orders from baskets (status 0)");
    command->footer(
        "Customers of a demo installation fill five baskets and submit them as orders, ready for the batch.");
    auto home = std::make_shared<std::optional<std::string>>();
    AddHomeOption(*command, *home);
    auto checkout = std::make_shared<std::string>();
    command->add_option("--checkout", *checkout,
                        "URL of a running `backoffice serve` (http://HOST:PORT): the card basket is authorised "
                        "through its API, as the checkout page does; without it, in-process");
    command->callback([home, checkout, &selected] { selected = [home, checkout] { return RunDemo(*home, *checkout); }; });
}

}  // namespace backoffice
