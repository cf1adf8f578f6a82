#include "baseline/store_carry_over.h"

#include <cstring>

#include "inventory/record_table.h"

namespace kestrune {

namespace {

// The names as a record would carry them (cut to the field), so a long name still
// matches its records.
bool sameField(const char16_t (&field)[kRecordTextUnits], const std::string& name) {
    CertificateRecord probe = zeroRecord();
    setRecordText(probe.name, name);
    return recordText(field) == recordText(probe.name);
}

}  // namespace

bool inUnreadableStore(const CertificateRecord& record,
                       std::span<const UnreadableStore> unreadable) {
    for (const UnreadableStore& store : unreadable) {
        if (store.location.empty() && store.store.empty()) {
            return true;  // no location could be listed
        }
        if (sameField(record.locationName, store.location) &&
            (store.store.empty() || sameField(record.storeName, store.store))) {
            return true;
        }
    }
    return false;
}

std::vector<CertificateRecord> readableRecords(std::span<const CertificateRecord> records,
                                               std::span<const UnreadableStore> unreadable) {
    std::vector<CertificateRecord> out;
    out.reserve(records.size());
    for (const CertificateRecord& record : records) {
        if (!inUnreadableStore(record, unreadable)) {
            out.push_back(record);
        }
    }
    return out;
}

std::vector<CertificateRecord> recordsToSave(std::span<const CertificateRecord> baseline,
                                             std::span<const CertificateRecord> current,
                                             std::span<const UnreadableStore> unreadable) {
    std::vector<CertificateRecord> out = readableRecords(current, unreadable);
    for (const CertificateRecord& record : baseline) {
        if (inUnreadableStore(record, unreadable)) {
            out.push_back(record);
        }
    }
    return out;
}

SaveResult saveRecords(SettingsKey& key, const std::vector<CertificateRecord>& records) {
    RecordTable table;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(records.data()),
                                              records.size() * kRecordSize);
    if (!table.replaceFromBlob(bytes, records.size())) {
        return SaveResult{false, "out of memory"};
    }
    return saveBaseline(key, table, static_cast<std::int32_t>(records.size()));
}

}  // namespace kestrune
