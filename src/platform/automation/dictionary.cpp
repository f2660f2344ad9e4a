#include "platform/automation/dictionary.h"

#include <cstring>

#include "platform/automation/error.h"

namespace ole {

std::string Dictionary::KeyOf(const Variant& key) {
    switch (key.Type()) {
        case VarType::Empty: return "e";
        case VarType::Null: return "n";
        case VarType::String: return "s" + key.ToString();
        case VarType::Date: {
            double d = key.ToDate().serial;
            return "d" + std::string(reinterpret_cast<const char*>(&d), sizeof d);
        }
        case VarType::Object: {
            auto p = key.ToObject().get();
            return "o" + std::string(reinterpret_cast<const char*>(&p), sizeof p);
        }
        case VarType::Array: Raise(err::TypeMismatch);
        default: {
            double d = key.ToDouble();
            if (d == 0) d = 0;  // -0 and 0 are one key
            return "#" + std::string(reinterpret_cast<const char*>(&d), sizeof d);
        }
    }
}

void Dictionary::Add(const Variant& key, const Variant& item) {
    auto [it, inserted] = index_.emplace(KeyOf(key), entries_.size());
    if (!inserted) Raise(err::KeyAlreadyExists);
    entries_.push_back({key, item, true});
    ++live_;
}

Variant Dictionary::Item(const Variant& key) const {
    auto it = index_.find(KeyOf(key));
    return it == index_.end() ? Variant() : entries_[it->second].item;
}

void Dictionary::Set(const Variant& key, const Variant& item) {
    auto it = index_.find(KeyOf(key));
    if (it == index_.end()) {
        Add(key, item);
        return;
    }
    entries_[it->second].item = item;
}

bool Dictionary::Exists(const Variant& key) const { return index_.count(KeyOf(key)) != 0; }

void Dictionary::Remove(const Variant& key) {
    auto it = index_.find(KeyOf(key));
    if (it == index_.end()) Raise(err::ElementNotFound);
    entries_[it->second].live = false;
    entries_[it->second].item = Variant();
    index_.erase(it);
    --live_;
    if (entries_.size() > 32 && live_ < entries_.size() / 2) Compact();
}

void Dictionary::RemoveAll() {
    entries_.clear();
    index_.clear();
    live_ = 0;
}

void Dictionary::Compact() {
    std::vector<Entry> kept;
    kept.reserve(live_);
    index_.clear();
    for (auto& e : entries_) {
        if (!e.live) continue;
        index_.emplace(KeyOf(e.key), kept.size());
        kept.push_back(std::move(e));
    }
    entries_ = std::move(kept);
}

std::vector<Variant> Dictionary::Keys() const {
    std::vector<Variant> r;
    r.reserve(live_);
    for (const auto& e : entries_)
        if (e.live) r.push_back(e.key);
    return r;
}

std::vector<Variant> Dictionary::Items() const {
    std::vector<Variant> r;
    r.reserve(live_);
    for (const auto& e : entries_)
        if (e.live) r.push_back(e.item);
    return r;
}

}  // namespace ole
