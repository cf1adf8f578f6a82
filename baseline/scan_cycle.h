// The scan cycle: rescan, stamp the time, compare with the baseline in both directions,
// warn about the first difference each way, offer to save, notify, reload.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
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
// Who waits for what:
// - The cycle turn: one scan cycle at a time, from start to end. The hourly loop waits
//   for it (begin). Scan Now on a GUI thread must not wait (the running cycle may be
//   waiting for that very thread to show its message box), so it asks with tryBegin and
//   retries from its event loop. The turn is a flag, not a mutex held by a thread, so a
//   second Scan Now on the thread whose cycle is showing a box is simply told "busy".
// - The snapshot: a pointer swapped or copied under a lock held only for that moment.
//   The cycle publishes after the scan and after the reload; list fills take the pointer
//   and never wait for a cycle, even one that waits for the user.
class CycleCoordinator {
  public:
    std::shared_ptr<const TableSnapshot> snapshot() const;
    void publish(const KestruneState& state);  // copies the valid records

    // Holds the cycle turn for its lifetime (when it got it).
    class Turn {
      public:
        Turn() = default;
        Turn(Turn&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        Turn& operator=(Turn&&) = delete;
        ~Turn();
        explicit operator bool() const { return owner_ != nullptr; }

      private:
        friend class CycleCoordinator;
        explicit Turn(CycleCoordinator* owner) : owner_(owner) {}
        CycleCoordinator* owner_ = nullptr;
    };
    Turn begin();     // waits until no other cycle runs
    Turn tryBegin();  // an empty Turn when a cycle runs

  private:
    void end();
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const TableSnapshot> snapshot_ = std::make_shared<TableSnapshot>();
    std::mutex turnMutex_;
    std::condition_variable turnFree_;
    bool running_ = false;
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
