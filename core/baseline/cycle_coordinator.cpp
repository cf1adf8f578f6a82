#include "baseline/cycle_coordinator.h"

#include <cstddef>

#include "baseline/change_detection.h"

namespace kestrune {

std::shared_ptr<const TableSnapshot> CycleCoordinator::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void CycleCoordinator::publish(const KestruneState& state) {
    // Copy outside the lock; readers only ever wait for the pointer swap.
    auto fresh = std::make_shared<TableSnapshot>();
    const auto current = currentRecords(state);
    fresh->records.assign(current.begin(), current.end());
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

}  // namespace kestrune
