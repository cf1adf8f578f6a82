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
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "inventory/state.h"
#include "inventory/table_snapshot.h"

namespace kestrune {

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

}  // namespace kestrune
