// Dictionary: keys in insertion order, as the scripting runtime's dictionary.
// Keys compare as that dictionary does in binary mode: text exactly, numbers
// by value (1 and 1.0 are one key), text and numbers never equal.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/automation/variant.h"

namespace ole {

class Dictionary : public Object {
public:
    // Adds a key; a key that is there already raises "This key is already associated ...".
    void Add(const Variant& key, const Variant& item);
    // The item of a key; Empty when the key is absent.
    Variant Item(const Variant& key) const;
    // Sets the item of a key, adding the key when it is absent.
    void Set(const Variant& key, const Variant& item);
    bool Exists(const Variant& key) const;
    // Removes a key; an absent key raises "Element not found".
    void Remove(const Variant& key);
    void RemoveAll();
    std::vector<Variant> Keys() const;
    std::vector<Variant> Items() const;
    int32_t Count() const { return static_cast<int32_t>(live_); }

    // Iteration in insertion order over (key, item) pairs.
    template <class F>
    void ForEach(F&& f) const {
        for (const auto& e : entries_)
            if (e.live) f(e.key, e.item);
    }

private:
    struct Entry {
        Variant key;
        Variant item;
        bool live = true;
    };
    static std::string KeyOf(const Variant& key);
    void Compact();

    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> index_;
    size_t live_ = 0;
};

using DictionaryPtr = std::shared_ptr<Dictionary>;

}  // namespace ole
