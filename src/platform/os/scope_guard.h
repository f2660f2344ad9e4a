// ScopeGuard: runs a function when the scope ends, however it ends, unless
// Dismiss() was called. The one guard for ad-hoc clean-ups (resetting a
// statement, releasing a lock, removing a temporary file); the function must
// not throw.
//
//   auto cleanUp = os::ScopeGuard([&] { ::unlink(temporary.c_str()); });
//   ... rename(temporary, path) ...
//   cleanUp.Dismiss();
#pragma once

#include <utility>

namespace os {

template <class F>
class ScopeGuard {
public:
    explicit ScopeGuard(F f) : f_(std::move(f)) {}
    ~ScopeGuard() {
        if (active_) f_();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    void Dismiss() { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

}  // namespace os
