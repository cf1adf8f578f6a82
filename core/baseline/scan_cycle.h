// The scan cycle: rescan, stamp the time, compare with the baseline in both directions,
// tell the user about the first difference each way, offer to save, notify, reload.
// What the user sees goes through a CycleDialogue; the cycle only decides.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "baseline/change_explanation.h"
#include "baseline/cycle_coordinator.h"
#include "inventory/clock.h"
#include "inventory/scanner.h"
#include "inventory/state.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"

namespace kestrune {

// One difference between the readable stores and the baseline, as the user is shown it.
struct ReportedChange {
    // Changed: another certificate took the baseline's place. Trust: the same one, trusted
    // otherwise by its store.
    enum class Kind { Added, Missing, Changed, Trust };
    Kind kind = Kind::Added;
    CertificateRecord record{};          // the observed one; for Missing the baseline's
    Fingerprint fingerprint{};           // of `record`, all zero where not known
    Fingerprint replaced{};              // Changed: the baseline certificate's fingerprint
    ChangeOrigin origin{};               // where it comes from, and the upgrade that explains it
    std::optional<TrustChange> trust{};  // Trust, or Changed with another trust too
};

// Every difference of one comparison, added and changed in current table order, then
// missing.
std::vector<ReportedChange> reportedChanges(const KestruneState& state, const Changes& changes,
                                            const ChangeExplainer& explainer = {});

// The cycle's side of the conversation with the user, in the order a cycle has it.
class CycleDialogue {
  public:
    virtual ~CycleDialogue() = default;
    // Stores that exist but could not be read this scan (empty when every store could),
    // before any difference: their certificates are neither missing nor present this time.
    virtual void storesUnreadable(const std::vector<UnreadableStore>& stores) = 0;
    // The first difference each way, each told on its own.
    virtual void certificateAdded(const CertificateRecord& current) = 0;
    virtual void certificateMissing(const CertificateRecord& baseline) = 0;
    // Whether the observed state should become the baseline, given every difference;
    // then how the save went.
    virtual bool askToSave(const std::vector<ReportedChange>& changes) = 0;
    virtual void baselineSaved() = 0;
    virtual void saveFailed(const std::string& why) = 0;
    // Nothing differed.
    virtual void scanComplete(int userInitiated) = 0;
    // The reload at the end of the cycle failed.
    virtual void loadFailed(const BaselineLoad& load) = 0;
};

struct CycleContext {
    KestruneState& state;
    StoreCatalogue& stores;
    Clock& clock;
    Trace& trace;
    CycleDialogue& dialogue;
    CycleCoordinator& coordinator;
    // Yes saves only what the question showed: the stores are read again first, and
    // when they changed meanwhile the question is asked again with the new differences.
    // The Linux desktop asks for it; the Windows program saves at once.
    bool recheckBeforeSave = false;
    // The open settings key the baseline is saved to and loaded from; null when none
    // could be opened. Set once at start-up, before any cycle.
    std::shared_ptr<BaselineStore> settingsKey{};
};

enum class CycleOutcome {
    Done,
    OutOfMemory,  // the scan could not grow its table; the program must end
};

// One full cycle; waits until no other cycle runs.
CycleOutcome scanCycle(CycleContext& context, int userInitiated);
// The same, unless another cycle is running: then nothing at once.
std::optional<CycleOutcome> tryScanCycle(CycleContext& context, int userInitiated);

// Tell the first difference in each direction of the cycle's comparison (which leaves
// out the records of unreadable stores); 1 if there was one.
int findAddedCertificate(CycleContext& context, const Changes& changes);
int findMissingCertificate(CycleContext& context, const Changes& changes);

}  // namespace kestrune
