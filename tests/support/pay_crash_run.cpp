// pay-crash-run N: the payment run of `backoffice pay` (every order due, in the
// installation VENDALO_HOME names) with a gateway client that forwards every
// call to the real one and ends the process right after the N-th reply has
// arrived, before anything of it is stored: a crash between sending a request
// and storing its reply, placed exactly. The tests run it for N = 1, 2, ...
// Exits 86 when it crashed, 0 when the run had fewer than N requests.
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <string>

#include "all/register_all.h"
#include "ordexa/payment/payment_run.h"
#include "platform/automation/component.h"
#include "platform/gateway/gateway_client.h"

namespace {

constexpr int kCrashed = 86;
long gCrashAfter = 0;
std::atomic<long> gReplies{0};  // the run's threads count their replies together

class DyingClient : public qx::IGatewayClient {
public:
    DyingClient() : real_(qx::NewGatewayClient()) {}
    std::string ServerHost() const override { return real_->ServerHost(); }
    void SetServerHost(const std::string& host) override { real_->SetServerHost(host); }
    void SetMerchantId(const std::string& id) override { real_->SetMerchantId(id); }
    void SetValue(const std::string& name, const std::string& value) override { real_->SetValue(name, value); }
    void SetOfferValue(int16_t index, const std::string& name, const std::string& value) override {
        real_->SetOfferValue(index, name, value);
    }
    void Send() override {
        try {
            real_->Send();
        } catch (...) {
            Arrived();
            throw;
        }
        Arrived();
    }
    std::vector<std::string> RequestLines() const override { return real_->RequestLines(); }
    std::string GetRequestValue(const std::string& name) const override { return real_->GetRequestValue(name); }
    std::string GetReplyValue(const std::string& name) const override { return real_->GetReplyValue(name); }
    void SetTrace(bool on, const std::string& folder, int32_t level) override { real_->SetTrace(on, folder, level); }

private:
    static void Arrived() {
        if (++gReplies == gCrashAfter) ::_exit(kCrashed);
    }
    std::shared_ptr<qx::IGatewayClient> real_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::stol(argv[1]) < 1) {
        std::cerr << "usage: pay-crash-run N (N >= 1: die after the N-th reply of the gateway)\n";
        return 2;
    }
    gCrashAfter = std::stol(argv[1]);
    RegisterAllComponents();
    ole::RegisterComponent(qx::kGatewayClientProgId, [] { return std::make_shared<DyingClient>(); });
    auto summary = ordexa::PayOrders(ordexa::DueOrders());
    std::cout << "captured " << summary.captured << ", failed " << summary.failed << ", requests " << gReplies << "\n";
    return 0;
}
