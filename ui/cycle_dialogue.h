// The scan cycle's conversation as the tray programs hold it: warning boxes with no
// owner window, the save question, and the tray notices.
#pragma once

#include "baseline/scan_cycle.h"
#include "ui/desktop.h"
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

class DesktopCycleDialogue final : public CycleDialogue {
  public:
    DesktopCycleDialogue(Desktop& desktop, Tray& tray) : desktop_(desktop), tray_(tray) {}

    void storesUnreadable(const std::vector<UnreadableStore>& stores) override;
    void certificateAdded(const CertificateRecord& current) override;
    void certificateMissing(const CertificateRecord& baseline) override;
    bool askToSave() override;
    void baselineSaved() override;
    void saveFailed(const std::string& why) override;
    void scanComplete(int userInitiated) override;
    void loadFailed(const BaselineLoad& load) override;

  private:
    Desktop& desktop_;
    Tray& tray_;
};

}  // namespace kestrune
