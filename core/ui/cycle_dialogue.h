// The scan cycle's conversation as the tray programs hold it: warning boxes with no
// owner window, the save question, and the tray notices.
#pragma once

#include <atomic>
#include <utility>

#include "baseline/scan_cycle.h"
#include "ui/notifier.h"
#include "ui/tray.h"

namespace kestrune {

inline constexpr const char* kAddedCaption = "Brimtal Kestrune - Certificate Added";
inline constexpr const char* kMissingCaption = "Brimtal Kestrune - Certificate Missing";
inline constexpr const char* kSaveQuestion =
    "Do you want to save the observed certificate changes as the new baseline?";
inline constexpr const char* kChangesCaption = "Brimtal Kestrune - Certificate Changes";
inline constexpr const char* kUnreadableCaption = "Brimtal Kestrune - Certificate Store Unreadable";

// "A new certificate has been added to the \"%ws\" Certificate Store ..." for a record.
std::string addedCertificateText(const CertificateRecord& record);
// "A certificate is missing from the \"$%ws\" Certificate Store ..." for a record.
std::string missingCertificateText(const CertificateRecord& record);
// One line per store that could not be read, with the reason.
std::string unreadableStoresText(const std::vector<UnreadableStore>& stores);
// The question's main text with the count of each kind of difference under it.
std::string saveQuestionText(const std::vector<ReportedChange>& changes);
// Every difference with its store, name, serial and SHA-256 fingerprint.
std::string changeDetailsText(const std::vector<ReportedChange>& changes);
// The tray notice for stores that were already named in a box and still cannot be read.
std::string stillUnreadableNotice(const std::vector<UnreadableStore>& stores);

// How much the conversation shows. The Windows program keeps its boxes as they are. The
// Linux desktop lists every difference in the question and makes No its default, so a
// reflexive Return never accepts a certificate nobody saw; and it names a set of
// unreadable stores in a box once, later scans of the same set in a tray notice.
struct DialogueRules {
    bool listEveryChange = false;
    bool unreadableOncePerSet = false;
};

class DesktopCycleDialogue final : public CycleDialogue {
  public:
    DesktopCycleDialogue(Notifier& notifier, Tray& tray) : notifier_(notifier), tray_(tray) {}

    void setRules(DialogueRules rules) { rules_ = rules; }
    // Boxes shown so far (the program's loop tells a cycle that waited for the user).
    unsigned boxesShown() const { return boxes_.load(); }

    void storesUnreadable(const std::vector<UnreadableStore>& stores) override;
    void certificateAdded(const CertificateRecord& current) override;
    void certificateMissing(const CertificateRecord& baseline) override;
    bool askToSave(const std::vector<ReportedChange>& changes) override;
    void baselineSaved() override;
    void saveFailed(const std::string& why) override;
    void scanComplete(int userInitiated) override;
    void loadFailed(const BaselineLoad& load) override;

  private:
    // Every box of the cycle has no owner window: the scan role has none.
    void tell(const std::string& text, const std::string& caption, Severity severity);
    Answer ask(Question question);
    std::string withNote(const std::string& notice) const;

    Notifier& notifier_;
    Tray& tray_;
    DialogueRules rules_;
    std::atomic<unsigned> boxes_{0};
    // The last set of unreadable stores (location and store) named in a box; cycles
    // never overlap, so only one thread uses it at a time.
    std::vector<std::pair<std::string, std::string>> lastUnreadable_;
    std::string unreadableNote_;  // added to this cycle's closing notice
};

}  // namespace kestrune
