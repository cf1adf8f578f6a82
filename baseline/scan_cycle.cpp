#include "baseline/scan_cycle.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>

#include "baseline/baseline_storage.h"
#include "inventory/record_key_set.h"
#include "inventory/scanner.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

constexpr const char* kSeparator = "========================================\r\n\r\n";

// Records a reader may use: never more than the table holds.
std::size_t usable(const RecordTable& table, std::int32_t count) {
    return count <= 0 ? 0 : std::min(table.validCount(), static_cast<std::size_t>(count));
}

void writeCountLine(CycleContext& c) {
    c.trace.outf("iCertificateCountTotal_Registry = %d and iCertificateCountTotal = %d\r\n",
                 c.state.iCertificateCountTotal_Registry.load(),
                 c.state.iCertificateCountTotal.load());
}

void runCycle(CycleContext& c, int userInitiated) {
    KestruneState& s = c.state;
    s.resetScanCounters();
    scan(s, c.stores, c.trace);
    s.lastScanTime = c.clock.localTime();
    c.coordinator.publish(s);

    c.trace.out(kSeparator);
    const int added = findAddedCertificate(c);
    const int missing = findMissingCertificate(c);
    c.trace.out(kSeparator);

    if (added || missing) {
        const int answer = c.desktop.messageBox(
            "Do you want to save the observed certificate changes as the new baseline?",
            "Brimtal Kestrune - Certificate Changes", kMbYesNo | kMbIconWarning, kNoOwner);
        if (answer == kIdYes && s.settingsKey) {
            saveBaseline(*s.settingsKey, s.mqsCertificates, s.iCertificateCountTotal);
            c.tray.showTrayNotice(kNoticeSaved);
        }
    } else {
        c.tray.showTrayNotice(userInitiated ? kNoticeUser : kNoticeHourly);
    }

    registry_settings_load(s, c.desktop, c.trace);
    c.coordinator.publish(s);
}

}  // namespace

std::shared_ptr<const TableSnapshot> CycleCoordinator::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void CycleCoordinator::publish(const KestruneState& state) {
    // Copy outside the lock; readers only ever wait for the pointer swap.
    auto fresh = std::make_shared<TableSnapshot>();
    const std::size_t n = usable(state.mqsCertificates, state.iCertificateCountTotal);
    const auto valid = state.mqsCertificates.valid();
    fresh->records.assign(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(n));
    fresh->iCertificateCountTotal = state.iCertificateCountTotal;
    fresh->uniqueCertificateCount = state.uniqueCertificateCount;
    fresh->lastScanTime = state.lastScanTime;
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = std::move(fresh);
}

CycleCoordinator::Turn CycleCoordinator::begin() {
    std::unique_lock lock(turnMutex_);
    turnFree_.wait(lock, [this] { return !running_; });
    running_ = true;
    return Turn(this);
}

CycleCoordinator::Turn CycleCoordinator::tryBegin() {
    std::lock_guard lock(turnMutex_);
    if (running_) {
        return Turn();
    }
    running_ = true;
    return Turn(this);
}

void CycleCoordinator::end() {
    {
        std::lock_guard lock(turnMutex_);
        running_ = false;
    }
    turnFree_.notify_all();
}

CycleCoordinator::Turn::~Turn() {
    if (owner_) {
        owner_->end();
    }
}

void scanCycle(CycleContext& context, int userInitiated) {
    const auto turn = context.coordinator.begin();
    runCycle(context, userInitiated);
}

bool tryScanCycle(CycleContext& context, int userInitiated) {
    const auto turn = context.coordinator.tryBegin();
    if (!turn) {
        return false;
    }
    runCycle(context, userInitiated);
    return true;
}

namespace {

// Calls `found` with each current record index whose serial the baseline lacks, in
// table order, until it returns false. Present means some baseline serial starts with
// the current record's own serialLength bytes. Nearly every present record has a
// baseline twin with the very same zero-padded serial, which one hash probe finds; the
// others are looked up among the baseline serials cut to their length (one set per
// length that occurs, built when first needed).
template <typename Found>
void forEachAdded(const KestruneState& s, Found found) {
    const auto baseline = s.mqsCertificatesRegistry.valid().first(
        usable(s.mqsCertificatesRegistry, s.iCertificateCountTotal_Registry));
    const std::size_t current = usable(s.mqsCertificates, s.iCertificateCountTotal);
    const RecordKeySet exact(baseline, offsetof(CertificateRecord, serialNumber));
    std::vector<std::unique_ptr<RecordKeySet>> byLength(kSerialBytes);
    for (std::size_t i = 0; i < current; ++i) {
        const CertificateRecord& r = s.mqsCertificates[i];
        if (exact.contains(r.serialNumber)) {
            continue;
        }
        const std::size_t length = validSerialLength(r);
        bool present = !baseline.empty();  // length 0: any baseline record matches
        if (length > 0 && length < kSerialBytes) {
            auto& prefixes = byLength[length];
            if (!prefixes) {
                prefixes = std::make_unique<RecordKeySet>(
                    baseline, offsetof(CertificateRecord, serialNumber), length);
            }
            present = prefixes->contains(r.serialNumber);
        } else if (length == kSerialBytes) {
            present = false;  // a full-width serial has no longer twin than the exact one
        }
        if (!present && !found(i)) {
            return;
        }
    }
}

// The same for baseline records whose fixed 64 bytes from the start of the hash field
// (whatever the valid length says; the zero fill makes the rest compare equal) no
// current record has.
template <typename Found>
void forEachMissing(const KestruneState& s, Found found) {
    const std::size_t baseline =
        usable(s.mqsCertificatesRegistry, s.iCertificateCountTotal_Registry);
    const RecordKeySet hashes(
        s.mqsCertificates.valid().first(usable(s.mqsCertificates, s.iCertificateCountTotal)),
        offsetof(CertificateRecord, subjectNameHash));
    for (std::size_t i = 0; i < baseline; ++i) {
        if (!hashes.contains(s.mqsCertificatesRegistry[i].subjectNameHash) && !found(i)) {
            return;
        }
    }
}

}  // namespace

std::int64_t firstAddedIndex(const KestruneState& s) {
    std::int64_t first = -1;
    forEachAdded(s, [&](std::size_t i) {
        first = static_cast<std::int64_t>(i);
        return false;
    });
    return first;
}

std::int64_t firstMissingIndex(const KestruneState& s) {
    std::int64_t first = -1;
    forEachMissing(s, [&](std::size_t i) {
        first = static_cast<std::int64_t>(i);
        return false;
    });
    return first;
}

std::vector<std::size_t> addedIndexes(const KestruneState& s) {
    std::vector<std::size_t> all;
    forEachAdded(s, [&](std::size_t i) {
        all.push_back(i);
        return true;
    });
    return all;
}

std::vector<std::size_t> missingIndexes(const KestruneState& s) {
    std::vector<std::size_t> all;
    forEachMissing(s, [&](std::size_t i) {
        all.push_back(i);
        return true;
    });
    return all;
}

int findAddedCertificate(CycleContext& c) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0 || c.state.iCertificateCountTotal <= 0) {
        return 0;
    }
    const std::int64_t i = firstAddedIndex(c.state);
    if (i < 0) {
        return 0;
    }
    const CertificateRecord& r = c.state.mqsCertificates[static_cast<std::size_t>(i)];
    c.desktop.messageBox(
        formatText("A new certificate has been added to the \"%s\" Certificate Store\r\n\r\n"
                   "Certificate Name: %s \r\nSerial Number: %s",
                   recordTextUtf8(r.storeName).c_str(), recordTextUtf8(r.name).c_str(),
                   serialText(r).c_str()),
        "Brimtal Kestrune - Certificate Added", kMbOk | kMbIconWarning, kNoOwner);
    return 1;
}

int findMissingCertificate(CycleContext& c) {
    writeCountLine(c);
    if (c.state.iCertificateCountTotal_Registry <= 0) {
        return 0;
    }
    const std::int64_t i = firstMissingIndex(c.state);
    if (i < 0) {
        return 0;
    }
    const CertificateRecord& r = c.state.mqsCertificatesRegistry[static_cast<std::size_t>(i)];
    c.desktop.messageBox(
        formatText("A certificate is missing from the \"$%s\" Certificate Store\r\n\r\n"
                   "Certificate Name: %s \r\nSerial Number: %s",
                   recordTextUtf8(r.storeName).c_str(), recordTextUtf8(r.name).c_str(),
                   serialText(r).c_str()),
        "Brimtal Kestrune - Certificate Missing", kMbOk | kMbIconWarning, kNoOwner);
    return 1;
}

}  // namespace kestrune
