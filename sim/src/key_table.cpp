#include "key_table.h"

#include <algorithm>
#include <set>

namespace vxs_sim {

namespace {

// Splits at commas.
std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields;
    std::string current;
    for (const char c : text) {
        if (c == ',') {
            fields.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    fields.push_back(current);
    return fields;
}

// A key number: one to five decimal digits.
std::optional<long> ParseKeyNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<long> KeyTable::NextFreeNumber() const {
    std::set<long> used;
    for (const auto& [code, entry] : byCode_) used.insert(entry.number);
    long candidate = 0;
    for (const long number : used) {
        if (number != candidate) break;
        ++candidate;
    }
    if (candidate > kMaxKeyNumber) return std::nullopt;
    return candidate;
}

std::optional<KeyEntry> KeyTable::Query(const std::string& code) {
    const auto found = byCode_.find(code);
    if (found != byCode_.end()) return found->second;
    const std::optional<long> number = NextFreeNumber();
    if (!number) return std::nullopt;
    KeyEntry entry{code, *number, false, {}};
    byCode_.emplace(code, entry);
    return entry;
}

bool KeyTable::ApplyAdd(const std::string& fields, const std::string& record) {
    const std::vector<std::string> parts = SplitFields(fields);
    if (parts.size() < 3) return false;
    const std::optional<long> number = ParseKeyNumber(parts[1]);
    if (!number) return false;
    // The number now belongs to this code alone.
    std::erase_if(byCode_, [&](const auto& item) {
        return item.second.number == *number && item.first != parts[2];
    });
    KeyEntry& entry = byCode_[parts[2]];
    entry.code = parts[2];
    entry.number = *number;
    entry.stored = true;
    entry.record = record;
    return true;
}

bool KeyTable::ApplyDelete(const std::string& fields) {
    const std::vector<std::string> parts = SplitFields(fields);
    if (parts.size() < 2) return false;
    const std::optional<long> number = ParseKeyNumber(parts[1]);
    if (!number) return false;
    for (auto& [code, entry] : byCode_) {
        if (entry.number == *number) {
            entry.stored = false;
            entry.record.clear();
        }
    }
    return true;
}

bool KeyTable::Put(const std::string& code, long number) {
    if (number < 0 || number > kMaxKeyNumber) return false;
    std::erase_if(byCode_, [&](const auto& item) {
        return item.second.number == number && item.first != code;
    });
    KeyEntry& entry = byCode_[code];
    entry.code = code;
    entry.number = number;
    entry.stored = true;
    entry.record = "A 0," + std::to_string(number) + "," + code + ",FFFF,01/01/00,0";
    return true;
}

std::optional<KeyEntry> KeyTable::Find(const std::string& code) const {
    const auto found = byCode_.find(code);
    if (found == byCode_.end()) return std::nullopt;
    return found->second;
}

std::size_t KeyTable::StoredCount() const {
    return static_cast<std::size_t>(std::count_if(
        byCode_.begin(), byCode_.end(), [](const auto& item) { return item.second.stored; }));
}

std::vector<KeyEntry> KeyTable::StoredKeys() const {
    std::vector<KeyEntry> keys;
    for (const auto& [code, entry] : byCode_) {
        if (entry.stored) keys.push_back(entry);
    }
    std::sort(keys.begin(), keys.end(),
              [](const KeyEntry& a, const KeyEntry& b) { return a.number < b.number; });
    return keys;
}

}  // namespace vxs_sim
