#include "app/startup.h"

#include "baseline/baseline_storage.h"
#include "inventory/scanner.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

constexpr char kSummaryFormat[] =
    "Brimtal Kestrune discovered the following certificates and has recorded a baseline:"
    "\r\n\r\nUnique Certificates: %d certificates\r\nAll certificates in all stores: %d "
    "certificates\r\n\r\n\r\nKestrune will now monitor changes to this baseline hourly.";

// The summary is built in a 256-unit buffer: the fixed text, both numbers at their
// widest ("-2147483648") and the terminator must fit, so it is never cut.
constexpr std::size_t kSummaryBufferUnits = 256;
constexpr std::size_t kWidestInt32 = 11;
static_assert(sizeof(kSummaryFormat) - 2 * 2 + 2 * kWidestInt32 <= kSummaryBufferUnits);

bool equalsIgnoringCase(const std::string& a, const char* b) {
    const std::string other(b);
    if (a.size() != other.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(static_cast<unsigned char>(a[i])) !=
            asciiLower(static_cast<unsigned char>(other[i]))) {
            return false;
        }
    }
    return true;
}

// The first-start steps; the UI has not started yet, but the cycle turn is taken anyway
// so nothing else can ever see the tables half-written.
void recordFirstBaseline(CycleContext& cycle) {
    KestruneState& state = cycle.state;
    cycle.desktop.messageBox(kFirstStartText, kFirstStartCaption, kMbIconInformation, kNoOwner);
    scan(state, cycle.stores, cycle.trace);
    cycle.desktop.messageBox(
        baselineSummaryText(state.uniqueCertificateCount, state.iCertificateCountTotal),
        kSummaryCaption, kMbIconInformation, kNoOwner);
    saveBaseline(*state.settingsKey, state.mqsCertificates, state.iCertificateCountTotal);
}

}  // namespace

ReservedWord reservedWord(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return ReservedWord::None;
    }
    const std::string& first = arguments[1];
    if (equalsIgnoringCase(first, "-install")) {
        return ReservedWord::Install;
    }
    if (equalsIgnoringCase(first, "-uninstall")) {
        return ReservedWord::Uninstall;
    }
    if (equalsIgnoringCase(first, "-service")) {
        return ReservedWord::Service;
    }
    return ReservedWord::None;
}

void echoArguments(const std::vector<std::string>& arguments, Desktop& desktop) {
    if (arguments.size() <= 1) {
        return;
    }
    for (const std::string& argument : arguments) {
        desktop.messageBox(argument, kArglistCaption, kMbOk, kNoOwner);
    }
}

std::string baselineSummaryText(std::int32_t uniqueCount, std::int32_t totalCount) {
    return formatText(kSummaryFormat, uniqueCount, totalCount);
}

void mainRoutine(CycleContext& cycle, SettingsApi& settings, const MainRoutineHooks& hooks) {
    KestruneState& state = cycle.state;
    {
        const auto turn = cycle.coordinator.begin();
        state.resetScanCounters();
        state.iCertificateCountTotal_Registry = 0;
        state.mqsCertificates.cutToOne();
        state.mqsCertificatesRegistry.cutToOne();
    }

    state.settingsKey = openSettingsKey(settings, cycle.desktop);
    if (!state.settingsKey) {
        exitForMissingSettingsKey();
    }

    {
        const auto turn = cycle.coordinator.begin();
        if (isFirstStart(*state.settingsKey)) {
            recordFirstBaseline(cycle);
        }
        const int loaded = registry_settings_load(state, cycle.desktop, cycle.trace);
        cycle.trace.outf("registry_settings_load() retuend: %d\r\n", loaded);
        if (loaded == 0) {
            cycle.trace.out("COULD NOT OPEN REGISTRY!!!");
        }
        cycle.coordinator.publish(state);
    }

    if (hooks.startUi) {
        hooks.startUi();
    }

    // The first cycle runs at once, while the UI may still be in its start-up pause.
    while (!hooks.keepRunning || hooks.keepRunning()) {
        scanCycle(cycle, 0);
        cycle.clock.sleepMs(kScanIntervalMs);
    }
}

void runTrayProgram(const std::vector<std::string>& arguments, CycleContext& cycle,
                    SettingsApi& settings, const MainRoutineHooks& hooks) {
    echoArguments(arguments, cycle.desktop);
    // Reserved for installer and service modes this program does not have.
    (void)reservedWord(arguments);
    mainRoutine(cycle, settings, hooks);
}

}  // namespace kestrune
