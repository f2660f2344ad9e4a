// The back-end instances a stage's lines go to, each made ready once per run
// and shared by the threads that ask side by side: the instance and its path,
// and for "ow" instances with a component id the integration object (Action)
// with its action opened; for "bc" and "gr" the configuration handle their
// business objects are made with. An instance that cannot be made ready
// keeps why, and every line of it is refused with that reason.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ordexa/backend/backend_instances.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "shared/lib_sales.h"

namespace ordexa {

template <class Action>
struct BackendTarget {
    std::string failure;  // it could not be made ready: why (its orders wait for the next batch)
    std::string path, backendType, componentId;
    std::string exportType;  // set by a stage that needs it
    qx::BackendInstancePtr instance;
    std::shared_ptr<Action> action;  // "ow" with a component id
    int32_t initStatus = 0;
    int32_t configurationHandle = 0;  // "bc" and "gr"
};

template <class Action>
class BackendTargets {
public:
    using Target = BackendTarget<Action>;
    // component: the integration object's name; opensAction: whether an "ow"
    // instance gets one (it may note what it read in the target; it may raise).
    BackendTargets(std::string component, int32_t error, std::string source,
                   std::function<bool(int32_t bisid, Target&)> opensAction = {})
        : component_(std::move(component)), error_(error), source_(std::move(source)),
          opensAction_(std::move(opensAction)) {}

    // Raises (the stage's error number) when the instance could not be made ready.
    const Target& Of(int32_t bisid) {
        std::lock_guard lock(mutex_);
        auto it = targets_.find(bisid);
        if (it == targets_.end()) it = targets_.emplace(bisid, Ready(bisid)).first;
        if (!it->second.failure.empty()) ole::Raise(error_, it->second.failure, source_);
        return it->second;
    }

    // Closes the actions opened; the next run finds the instances again.
    void CloseAll() {
        std::lock_guard lock(mutex_);
        for (auto& [bisid, t] : targets_)
            if (t.action && t.initStatus == 0) {
                try {
                    t.action->CloseAction();
                } catch (...) {
                    // nothing is left open on our side
                }
            }
        targets_.clear();
    }

private:
    Target Ready(int32_t bisid) {
        Target t;
        try {
            const BackendInstance& bis = instances_.Of(bisid);
            t.instance = bis.instance;
            t.path = bis.path;
            t.backendType = bis.instance->BackendType();
            if (t.path == "bc" || t.path == "gr") t.configurationHandle = instances_.ConfigurationHandle();
            bool opens = !opensAction_ || opensAction_(bisid, t);
            if (opens && t.path == "ow") {
                t.componentId = bis.ComponentId();
                if (!t.componentId.empty()) {
                    t.action = Sls_GetComponent<Action>(component_);
                    t.action->InitializeAction(ole::LowerCase(t.backendType), t.componentId, t.initStatus);
                }
            }
        } catch (...) {
            t.failure = ole::CurrentDescription();
        }
        return t;
    }

    std::string component_;
    int32_t error_;
    std::string source_;
    std::function<bool(int32_t, Target&)> opensAction_;
    BackendInstances instances_;  // used under mutex_
    std::mutex mutex_;
    std::map<int32_t, Target> targets_;
};

}  // namespace ordexa
