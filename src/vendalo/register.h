#pragma once

namespace vendalo {
// Registers the Vendalo classes under their ProgIDs ("Vendalo." + class name).
void RegisterComponents();

void RegisterBasket();           // "Vendalo.Basket"
void RegisterOrder();            // "Vendalo.Order"
void RegisterOrderExportFile();  // "Vendalo.OrderExportFile"
void RegisterSalesParameter();   // "Vendalo.SalesParameter"
void RegisterPricing();          // "Vendalo.Pricing" and the SQLite form of the procedure "GetPrice"
void RegisterFreightCost();      // "Vendalo.FreightCost"
void RegisterWebOrder();         // "Vendalo.WebOrder"
void RegisterPriceListImport();  // "Vendalo.PriceListImport"
void RegisterReporting();        // "Vendalo.Reporting"
}  // namespace vendalo
