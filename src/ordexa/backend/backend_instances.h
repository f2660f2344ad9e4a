// The back-end instances a stage of the batch talks to, looked up once per run:
// the instance from the selector, the path its type selects, and the handle of
// the loaded configuration that the BOI objects are created with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/backend/backend_selector.h"

namespace ordexa {

// The path a back-end type selects: its first two characters, trimmed and in
// lower case ("bc" and "gr": BOI objects; "ow": the integration objects).
std::string BackendPath(const std::string& backendType);

struct BackendInstance {
    qx::BackendInstancePtr instance;
    std::string path;
    // The "componentid" property, trimmed ("" when not set).
    std::string ComponentId() const;
};

class BackendInstances {
public:
    // Raises when the selector does not know the BIS.
    const BackendInstance& Of(int32_t bisid);
    // Loaded on first use.
    int32_t ConfigurationHandle();

private:
    std::shared_ptr<qx::IBackendSelector> selector_;
    std::map<int32_t, BackendInstance> instances_;
    std::optional<int32_t> configurationHandle_;
};

}  // namespace ordexa
