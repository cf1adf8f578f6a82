// The scan cycle: rescan, stamp the time, compare with the baseline in both directions,
// warn about the first difference each way, offer to save, notify, reload.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/clock.h"
#include "inventory/cert_store_api.h"
#include "inventory/state.h"
#include "inventory/trace.h"
#include "ui/desktop.h"
#include "ui/tray.h"

namespace kestrune {

// A consistent copy of what the certificate list shows.
struct TableSnapshot {
    std::vector<CertificateRecord> records;  // the valid records of mqsCertificates
    std::int32_t iCertificateCountTotal = 0;
    std::int32_t uniqueCertificateCount = 0;
    LocalTime lastScanTime{};
};

// Keeps cycles apart and hands readers a consistent copy of the tables.
//
// Locks, and who takes them:
// - cycleMutex: held by a scan cycle from start to end, so two cycles never overlap.
//   The hourly loop waits for it; Scan Now on a GUI thread must not (the running cycle
//   may be waiting for that GUI thread to show its message box), so it uses
//   tryScanCycle and retries from its event loop.
// - snapshotMutex: held only for the moment it takes to swap or copy the published
//   snapshot pointer. The cycle publishes after the scan and after the reload; list
//   fills take the pointer and never wait for a cycle, even one that waits for the
//   user.
class CycleCoordinator {
  public:
    std::shared_ptr<const TableSnapshot> snapshot() const;
    void publish(const KestruneState& state);  // copies the valid records

    std::mutex cycleMutex;

  private:
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const TableSnapshot> snapshot_ = std::make_shared<TableSnapshot>();
};

struct CycleContext {
    KestruneState& state;
    CertStoreApi& stores;
    Desktop& desktop;
    Clock& clock;
    Trace& trace;
    Tray& tray;
    CycleCoordinator& coordinator;
};

// One full cycle; waits until no other cycle runs.
void scanCycle(CycleContext& context, int userInitiated);
// The same, unless another cycle is running: then returns false at once.
bool tryScanCycle(CycleContext& context, int userInitiated);

// The first current record whose serial the baseline lacks (prefix rule), or -1.
std::int64_t firstAddedIndex(const KestruneState& state);
// The first baseline record whose 64 hash bytes no current record has, or -1.
std::int64_t firstMissingIndex(const KestruneState& state);
// Every difference, in table order (for reports that list them all).
std::vector<std::size_t> addedIndexes(const KestruneState& state);
std::vector<std::size_t> missingIndexes(const KestruneState& state);
// Report the first difference in a message box; 1 if one was reported.
int findAddedCertificate(CycleContext& context);
int findMissingCertificate(CycleContext& context);

}  // namespace kestrune
