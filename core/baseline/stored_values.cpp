#include "baseline/stored_values.h"

#include <cstdio>
#include <optional>

#include "inventory/record_table.h"

namespace kestrune {

namespace {

// A count longer than this is no count saveBaseline wrote; it is not read whole.
constexpr std::uint32_t kCountTextLimit = 64;

// The stored text up to its terminator, for a message: printable ASCII as it is, the
// rest as \uXXXX.
std::string shown(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size() && text.size() < 40; i += 2) {
        const unsigned unit = bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << 8);
        if (unit == 0) {
            break;
        }
        if (unit >= 0x20 && unit < 0x7f && unit != '"' && unit != '\\') {
            text += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
            text += escaped;
        }
    }
    return text;
}

}  // namespace

StoredVerdict judgeStoredValues(const StoredValues& v) {
    auto damaged = [](std::string what) {
        return StoredVerdict{StoredState::Damaged, std::move(what), 0};
    };
    if (!v.foreign.empty()) {
        return damaged(v.foreign);
    }
    if (!v.hasCount && !v.hasData) {
        return {};
    }
    if (!v.hasData) {
        return damaged("\"Certificate Count\" is there but \"Certificate Data\" is missing");
    }
    if (!v.hasCount) {
        return damaged("\"Certificate Data\" is there but \"Certificate Count\" is missing");
    }
    if (v.countBytes > kCountTextLimit || v.countBytes % 2 != 0 ||
        v.countText.size() != v.countBytes) {
        return damaged("\"Certificate Count\" is " + std::to_string(v.countBytes) +
                       " bytes, not a number of records");
    }
    // Decimal UTF-16 digits, then nothing but terminators.
    std::int64_t count = 0;
    std::size_t digits = 0;
    bool ended = false;
    bool number = true;
    for (std::size_t i = 0; i + 1 < v.countText.size(); i += 2) {
        const unsigned unit = v.countText[i] | (static_cast<unsigned>(v.countText[i + 1]) << 8);
        if (unit == 0) {
            ended = true;
        } else if (ended || unit < u'0' || unit > u'9' || ++digits > 10) {
            number = false;
            break;
        } else {
            count = count * 10 + (unit - u'0');
        }
    }
    if (!number || digits == 0 || count > INT32_MAX) {
        return damaged("\"Certificate Count\" is not a number of records (\"" + shown(v.countText) +
                       "\")");
    }
    if (v.dataBytes % kRecordSize != 0) {
        return damaged("\"Certificate Data\" holds " + std::to_string(v.dataBytes) +
                       " bytes, not whole records of " + std::to_string(kRecordSize) + " bytes");
    }
    const std::uint64_t records = v.dataBytes / kRecordSize;
    if (static_cast<std::uint64_t>(count) != records) {
        return damaged("\"Certificate Count\" says " + std::to_string(count) +
                       " records but \"Certificate Data\" holds " + std::to_string(records));
    }
    return {StoredState::Whole, {}, static_cast<std::int32_t>(count)};
}

StoreResult<StoredValues> readStoredValues(BaselineStore& key) {
    StoredValues values;
    values.foreign = key.foreignStore();
    if (!values.foreign.empty()) {
        return values;  // nothing in it is a baseline
    }
    std::optional<SettingsError> first;  // the first failure
    std::optional<SettingsError> last;   // and the last, which tells whether the store is broken
    auto present = [&](const StoreResult<std::uint32_t>& r) {
        if (r || r.failure().fault == StoreFault::TooSmall) {
            return true;
        }
        if (r.failure().fault != StoreFault::Absent) {
            last = r.failure();
            first = first ? first : last;
        }
        return false;
    };
    const StoreResult<std::uint32_t> countSize = key.valueSize(BaselineValue::Count);
    values.hasCount = present(countSize);
    values.countBytes = countSize ? *countSize : 0;
    if (countSize && *countSize <= kCountTextLimit) {
        std::vector<std::uint8_t> text(*countSize);
        const StoreResult<std::uint32_t> got = key.readValue(BaselineValue::Count, text);
        if (got && *got <= text.size()) {
            text.resize(*got);
            values.countText = std::move(text);
            values.countBytes = *got;
        } else if (got) {
            present(SettingsError{});
        } else if (got.failure().fault != StoreFault::TooSmall) {
            present(got);
        }  // grown meanwhile: left short, judged as damage
    }
    const StoreResult<std::uint32_t> dataSize = key.valueSize(BaselineValue::Data);
    values.hasData = present(dataSize);
    values.dataBytes = dataSize ? *dataSize : 0;
    if (last && last->fault == StoreFault::Damaged) {
        StoredValues broken;
        broken.foreign = last->message;
        return broken;
    }
    if (first) {
        return *first;
    }
    return values;
}

}  // namespace kestrune
