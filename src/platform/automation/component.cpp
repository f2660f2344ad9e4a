#include "platform/automation/component.h"

#include <cctype>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/automation/text.h"

namespace ole {
namespace {

struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<std::string, Factory> factories;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

std::string Normalise(const std::string& progId) {
    return LowerCase(progId);
}

Factory Lookup(const std::string& key) {
    auto& r = TheRegistry();
    std::shared_lock lock(r.mutex);
    auto it = r.factories.find(key);
    return it == r.factories.end() ? Factory() : it->second;
}

}  // namespace

void RegisterComponent(const std::string& progId, Factory factory) {
    auto& r = TheRegistry();
    std::unique_lock lock(r.mutex);
    r.factories[Normalise(progId)] = std::move(factory);
}

void UnregisterComponent(const std::string& progId) {
    auto& r = TheRegistry();
    std::unique_lock lock(r.mutex);
    r.factories.erase(Normalise(progId));
}


ObjectPtr CreateObject(const std::string& progId) {
    Factory factory = Lookup(Normalise(progId));
    if (!factory) Raise(err::CannotCreateObject);
    ObjectPtr object = factory();
    if (!object) Raise(err::CannotCreateObject);
    return object;
}

ComponentOverride::ComponentOverride(std::string progId, Factory factory) : progId_(std::move(progId)) {
    previous_ = Lookup(Normalise(progId_));
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
