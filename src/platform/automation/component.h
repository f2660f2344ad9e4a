// The component registry: creation by ProgID. The system's own classes and the
// platform stand-ins register a factory under their ProgID; a test may replace
// the factory of any ProgID for the life of a ComponentOverride.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/automation/error.h"
#include "platform/automation/variant.h"

namespace ole {

using Factory = std::function<ObjectPtr()>;

// Registers (or replaces) the factory of a ProgID. ProgIDs compare without regard to case.
void RegisterComponent(const std::string& progId, Factory factory);
void UnregisterComponent(const std::string& progId);

// Creates a new instance; an unknown ProgID or a failing factory raises
// "ActiveX component can't create object" (429).
ObjectPtr CreateObject(const std::string& progId);

// Creates a new instance and asks it for an interface; an object without that
// interface raises "Object doesn't support this property or method" (438).
template <class T>
std::shared_ptr<T> CreateObjectAs(const std::string& progId) {
    auto object = CreateObject(progId);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) Raise(err::NotSupported);
    return typed;
}

// Registers a class with a default constructor under a ProgID.
template <class T>
void RegisterClass(const std::string& progId) {
    RegisterComponent(progId, [] { return std::make_shared<T>(); });
}

// Replaces a ProgID's factory until it goes out of scope (tests).
class ComponentOverride {
public:
    ComponentOverride(std::string progId, Factory factory);
    ~ComponentOverride();
    ComponentOverride(const ComponentOverride&) = delete;
    ComponentOverride& operator=(const ComponentOverride&) = delete;

private:
    std::string progId_;
    Factory previous_;
    bool hadPrevious_;
};

}  // namespace ole
