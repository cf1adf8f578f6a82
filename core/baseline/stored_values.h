// What a settings key holds, judged without loading it: no baseline yet, a whole one, or
// damage. The tray program loads what it can; kestrune-check compares only against a
// whole baseline and reports anything else as damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseline/baseline_store.h"

namespace kestrune {

struct StoredValues {
    bool hasCount = false;
    bool hasData = false;
    std::vector<std::uint8_t> countText;  // "Certificate Count" as stored, when short
    std::uint32_t countBytes = 0;         // its size
    std::uint32_t dataBytes = 0;          // the size of "Certificate Data"
    std::string foreign;                  // the store is not a Kestrune one: why
};

enum class StoredState { Empty, Whole, Damaged };

struct StoredVerdict {
    StoredState state = StoredState::Empty;
    std::string what;        // Damaged: what is wrong, for people
    std::int32_t count = 0;  // Whole: the number of records
};

// Empty: neither value in a Kestrune store. Whole: a count in decimal (terminators
// allowed) equal to the whole records of the data. Anything else is damage.
StoredVerdict judgeStoredValues(const StoredValues& values);

// Reads the two values' sizes and the count's text; nothing is written. A store broken
// in itself holds no baseline, as a foreign one does not: both come back as values that
// say so. A failure is the first one the store reported.
StoreResult<StoredValues> readStoredValues(BaselineStore& key);

}  // namespace kestrune
