#include "platform/automation/component.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>

#include "platform/automation/text.h"

namespace ole {
namespace {

// ProgIDs hashed and compared without regard to case, so that a look-up builds no key.
struct NoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
        size_t hash = 14695981039346656037ull;  // FNV-1a over the lower-cased bytes
        for (char c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        return hash;
    }
};
struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
};

struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<std::string, Factory, NoCaseHash, NoCaseEqual> factories;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

Factory Lookup(std::string_view progId) {
    auto& r = TheRegistry();
    std::shared_lock lock(r.mutex);
    auto it = r.factories.find(progId);
    return it == r.factories.end() ? Factory() : it->second;
}

}  // namespace

void RegisterComponent(const std::string& progId, Factory factory) {
    auto& r = TheRegistry();
    std::unique_lock lock(r.mutex);
    r.factories.insert_or_assign(progId, std::move(factory));
}

void UnregisterComponent(const std::string& progId) {
    auto& r = TheRegistry();
    std::unique_lock lock(r.mutex);
    if (auto it = r.factories.find(std::string_view(progId)); it != r.factories.end()) r.factories.erase(it);
}

ObjectPtr CreateObject(const std::string& progId) {
    Factory factory = Lookup(progId);
    if (!factory) Raise(err::CannotCreateObject);
    ObjectPtr object = factory();
    if (!object) Raise(err::CannotCreateObject);
    return object;
}

ComponentOverride::ComponentOverride(std::string progId, Factory factory) : progId_(std::move(progId)) {
    previous_ = Lookup(progId_);
    hadPrevious_ = static_cast<bool>(previous_);
    if (factory)
        RegisterComponent(progId_, std::move(factory));
    else
        UnregisterComponent(progId_);
}

ComponentOverride::~ComponentOverride() {
    if (hadPrevious_)
        RegisterComponent(progId_, previous_);
    else
        UnregisterComponent(progId_);
}

}  // namespace ole
