// One tray program over fakes, assembled the way the programs assemble theirs: in-memory
// stores and settings, a scripted desktop, a fake clock and HTTP client, a captured
// trace. A test that needs a real store or settings API hands it in instead.
#pragma once

#include "app/tray_program.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_change_source.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_http.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_desktop.h"

namespace kestrune::testing {

struct FakePorts {
    FakeStoreCatalogue stores;
    MemorySettings settings;
    FakeHttpClient http;
    FakeClock clock;
    FakeChangeSource changes{clock};
    ScriptedDesktop desktop;
    CaptureTrace trace;
    NullTrace quiet;
};

struct FakeProgramOptions {
    StoreCatalogue* stores = nullptr;    // null: the fake stores
    BaselineStores* settings = nullptr;  // null: the settings in memory
    Notifier* desktop = nullptr;         // null: the scripted desktop
    Trace* trace = nullptr;              // null: the captured trace
    bool quietTrace = false;             // benchmarks: no trace kept
};

class FakeProgram : public FakePorts {
  public:
    explicit FakeProgram(FakeProgramOptions options = {});

    TrayProgram program;
    KestruneState& state = program.state;
    Tray& tray = program.tray;
    CycleCoordinator& coordinator = program.coordinator;
    CycleContext& context = program.cycle;
    std::shared_ptr<BaselineStore>& settingsKey = program.cycle.settingsKey;
    std::vector<int> endedWith;  // statuses the program asked to end with
};

}  // namespace kestrune::testing
