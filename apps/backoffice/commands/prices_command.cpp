// `backoffice prices import FILE.csv`: a price list loaded with the rules of
// price maintenance, all rows or none.
#include <unistd.h>

#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "interfaces/vendalo/price_list_import.h"
#include "shared/lib_sales.h"

namespace backoffice {

namespace {

constexpr int kRowsRefused = 4;

int RunPricesImport(const std::string& file, const std::optional<std::string>& given) {
    int exitCode = 0;
    auto home = UseInstallation("prices import", given, exitCode);
    if (!home) return exitCode;
    bool terminal = isatty(STDOUT_FILENO);
    bool progressShown = false;
    auto progress = [&](size_t done, size_t total) {
        if (!terminal) return;
        std::cout << "\rchecking and storing: " << done << " of " << total << " rows" << std::flush;
        progressShown = true;
    };
    vendalo::PriceListResult result;
    try {
        auto import = Sls_GetComponent<vendalo::IPriceListImport>("Vendalo.PriceListImport");
        result = import->ImportFile(file, progress);
    } catch (const ole::AutomationError& e) {
        if (progressShown) std::cout << "\n";
        std::cerr << "backoffice prices import: " << Reason(e) << "\n";
        return 1;
    }
    if (progressShown) std::cout << "\n";
    const char* kind = result.customerPrices ? "customer prices" : "list prices";
    if (result.Stored()) {
        std::cout << file << ": " << result.rows << " " << kind << " stored (" << result.added << " added, "
                  << result.updated << " updated)\n";
        return 0;
    }
    std::cerr << file << ": nothing stored; " << result.refused.size() << " of " << result.rows
              << " rows refused:\n";
    for (const auto& problem : result.refused) std::cerr << "  line " << problem.line << ": " << problem.text << "\n";
    return kRowsRefused;
}

}  // namespace

void AddPricesCommand(CLI::App& app, Runner& selected) {
    auto* prices = app.add_subcommand("prices", "maintain the price lists");
    prices->require_subcommand(1);
    auto* import = prices->add_subcommand(
        "import",
        "load a price list from a CSV file: a header row naming the columns PRODUCTID, CURRENCYCODE, EFFECTIVEDATE,\n"
        "PRICE (required), EXPIRYDATE, DISCOUNTPERC, DISCOUNTAMOUNT and, for customer prices, BUSINESSPARTNERID;\n"
        "dates yyyy-mm-dd, numbers with \".\", an empty field for an open end or no discount. A row whose key is\n"
        "stored updates that price, any other is added; every row is checked as price maintenance checks it\n"
        "(an overlapping range, an unknown product, partner or currency is refused). All rows are stored in one\n"
        "transaction, or none: the refused rows are listed with their line numbers. Exits 0 when stored, 4 when\n"
        "rows were refused, 1 when the import could not run");
    auto file = std::make_shared<std::string>();
    auto home = std::make_shared<std::optional<std::string>>();
    import->add_option("FILE", *file, "the price list (.csv)")->required();
    AddHomeOption(*import, *home);
    import->callback([file, home, &selected] { selected = [file, home] { return RunPricesImport(*file, *home); }; });
}

}  // namespace backoffice
