#include "app/startup.h"

#include "app/cycle_schedule.h"
#include "app/tray_program.h"
#include "baseline/baseline_storage.h"
#include "inventory/scanner.h"
#include "inventory/text.h"
#include "ui/baseline_messages.h"
#include "ui/cycle_dialogue.h"

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
// so nothing else can ever see the tables half-written. False when the scan ran out of
// memory: then nothing is saved.
bool recordFirstBaseline(TrayProgram& program) {
    KestruneState& state = program.state;
    Notifier& notifier = program.desktop;
    notifier.inform({.text = kFirstStartText,
                     .caption = kFirstStartCaption,
                     .severity = Severity::information});
    const ScanResult scanned = scan(state, program.ports.stores, program.trace);
    if (scanned.outOfMemory) {
        return false;
    }
    // What could be read is recorded; the stores that could not be are named.
    if (!scanned.unreadable.empty()) {
        notifier.inform({.text = unreadableStoresText(scanned.unreadable),
                         .caption = kUnreadableCaption,
                         .severity = Severity::warning});
    }
    notifier.inform(
        {.text = baselineSummaryText(state.uniqueCertificateCount, state.iCertificateCountTotal),
         .caption = kSummaryCaption,
         .severity = Severity::information});
    // A first baseline that could not be stored leaves the key without one, so the next
    // start records it again.
    static_cast<void>(saveCurrentAsBaseline(*program.cycle.settingsKey, state));
    return true;
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

void echoArguments(const std::vector<std::string>& arguments, Notifier& notifier) {
    if (arguments.size() <= 1) {
        return;
    }
    for (const std::string& argument : arguments) {
        notifier.inform(
            {.text = argument, .caption = kArglistCaption, .severity = Severity::plain});
    }
}

std::string baselineSummaryText(std::int32_t uniqueCount, std::int32_t totalCount) {
    return formatText(kSummaryFormat, uniqueCount, totalCount);
}

int mainRoutine(TrayProgram& program, const MainRoutineHooks& hooks) {
    if (hooks.initialise) {
        hooks.initialise();
    }
    KestruneState& state = program.state;
    CycleContext& cycle = program.cycle;
    {
        const auto turn = program.coordinator.begin();
        state.resetScanCounters();
        state.iCertificateCountTotal_Registry = 0;
        state.mqsCertificates.cutToOne();
        state.mqsCertificatesRegistry.cutToOne();
    }

    cycle.settingsKey = openSettingsKey(program.ports.settings, program.desktop, &program.trace);
    if (!cycle.settingsKey) {
        return kExitNoSettingsKey;
    }

    {
        const auto turn = program.coordinator.begin();
        if (isFirstStart(*cycle.settingsKey) && !recordFirstBaseline(program)) {
            return kExitOutOfMemory;
        }
        const int loaded =
            registry_settings_load(cycle.settingsKey.get(), state, program.desktop, program.trace);
        cycle.trace.outf("registry_settings_load() retuend: %d\r\n", loaded);
        if (loaded == 0) {
            cycle.trace.out("COULD NOT OPEN REGISTRY!!!");
        }
        program.coordinator.publish(state);
    }

    if (hooks.startUi) {
        hooks.startUi();
    }

    // A store that cannot be watched is still scanned every hour; saying so once is enough.
    ChangeWatch watch(program.ports.changes, cycle.clock, [&cycle](const std::string& problem) {
        cycle.trace.errf("Not watched, scanned hourly: %s\n", problem.c_str());
    });
    // The first cycle runs at once, while the UI may still be in its start-up pause; the
    // next one an hour after it, or as soon as a changed store has settled.
    while (!hooks.keepRunning || hooks.keepRunning()) {
        watch.cycleStarted();
        const unsigned boxesBefore = program.dialogue.boxesShown();
        if (scanCycle(cycle, 0) == CycleOutcome::OutOfMemory) {
            return kExitOutOfMemory;
        }
        // A store changed while a box waited for the user is looked at as soon as the
        // box is answered: the stores went on being watched meanwhile.
        watch.cycleEnded(program.dialogue.boxesShown() != boxesBefore);
        if (watch.waitForNextCycle() == NextCycle::Stopped) {
            break;
        }
    }
    return 0;
}

}  // namespace kestrune
