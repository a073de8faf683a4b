// A controller's keys: the badge codes it knows and the key number of each. A key query for an
// unknown code allocates the next free number at once, as the controller reserves a place for
// the key that is about to be added; only an add-key record stores the key.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vxs_sim {

struct KeyEntry {
    std::string code;     // the badge code as the driver sent it
    long number = 0;      // the controller's key number
    bool stored = false;  // added by an add-key record and not deleted since
    std::string record;   // the add-key record's command text, for the setup upload
};

class KeyTable {
public:
    // Key numbers run from 0 to this (nine digits, the most a key answer carries); a query that
    // would need a number beyond it gets no answer.
    static constexpr long kMaxKeyNumber = 999999999;

    // The entry for a code, allocating a number for a code not seen before. Empty when the table
    // is full.
    std::optional<KeyEntry> Query(const std::string& code);

    // Applies an add-key record "A n1,n2,code,..." (the text after "A "): key n2 now holds the
    // code. False when the record cannot be read.
    bool ApplyAdd(const std::string& fields, const std::string& record);

    // Applies a delete-key record "D n1,n2" (the text after "D "): key n2 is no longer stored.
    bool ApplyDelete(const std::string& fields);

    // Stores a key directly (test set-up). False when the number is out of range.
    bool Put(const std::string& code, long number);

    std::optional<KeyEntry> Find(const std::string& code) const;
    std::size_t StoredCount() const;
    std::vector<KeyEntry> StoredKeys() const;  // in key-number order

private:
    std::optional<long> NextFreeNumber() const;

    std::map<std::string, KeyEntry> byCode_;
};

}  // namespace vxs_sim
