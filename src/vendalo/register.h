#pragma once

namespace vendalo {
// Registers the Vendalo classes under their ProgIDs ("Vendalo." + class name).
void RegisterComponents();

void RegisterBasket();           // "Vendalo.Basket"
void RegisterOrder();            // "Vendalo.Order"
void RegisterOrderExportFile();  // "Vendalo.OrderExportFile"
void RegisterSalesParameter();   // "Vendalo.SalesParameter"
void RegisterReporting();        // "Vendalo.Reporting"
}  // namespace vendalo
