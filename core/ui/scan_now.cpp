#include "ui/scan_now.h"

#include <utility>

namespace kestrune {

ScanNow::ScanNow(Actions actions) : actions_(std::move(actions)) {}

bool ScanNow::start() {
    if (pending_) {
        return false;
    }
    pending_ = true;
    actions_.disable();
    return true;
}

bool ScanNow::attempt() {
    if (!pending_) {
        return false;
    }
    if (actions_.tryScan && !actions_.tryScan()) {
        actions_.scheduleRetry();
        return false;
    }
    pending_ = false;
    actions_.refill();
    actions_.enable();
    return true;
}

}  // namespace kestrune
