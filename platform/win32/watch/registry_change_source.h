// Store changes on Windows: the registry keys the system, policy and enterprise
// certificate stores of the machine and of the user live under, each watched with
// RegNotifyChangeKeyValue (subtree, names and values) and re-armed after every
// notification. A key that does not exist yet is watched through its nearest existing
// parent (names only, that level only), so a store created later (a first group policy)
// is seen without waking on every write elsewhere under SOFTWARE.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "inventory/c_handle.h"
#include "inventory/change_source.h"

namespace kestrune::win32 {

struct WatchedKey {
    HKEY root;
    std::wstring path;  // the key the stores live under
};

// The keys of every store location the scanner lists.
const std::vector<WatchedKey>& certificateStoreKeys();

class RegistryChangeSource final : public ChangeSource {
  public:
    explicit RegistryChangeSource(std::vector<WatchedKey> keys = certificateStoreKeys());
    ~RegistryChangeSource() override;
    RegistryChangeSource(const RegistryChangeSource&) = delete;
    RegistryChangeSource& operator=(const RegistryChangeSource&) = delete;

    Wake waitForChange(std::uint32_t timeoutMs) override;
    void stop() override;
    std::vector<std::string> problems() const override;

  private:
    using KeyHandle = CHandle<std::remove_pointer_t<HKEY>, RegCloseKey>;
    using EventHandle = CHandle<void, CloseHandle>;

    // A store key is watched itself (subtree, names and values) and through its nearest
    // existing parent (that level's names only): the parent sees the key created,
    // deleted or replaced, which not every registry reports on the key's own handle.
    struct Watch {
        WatchedKey key;
        KeyHandle open;  // null while the key does not exist
        EventHandle event;
        bool armed = false;
        KeyHandle above;
        EventHandle aboveEvent;
        bool aboveArmed = false;
        bool reported = false;  // its problem is listed once
    };

    // Opens and arms again what fired or went away; true when the key itself changed,
    // appeared or was deleted.
    bool refresh(Watch& watch, bool keyFired, bool aboveFired);

    std::vector<Watch> watches_;
    EventHandle stopEvent_;
    std::vector<std::string> problems_;
};

}  // namespace kestrune::win32
