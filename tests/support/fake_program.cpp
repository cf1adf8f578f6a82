#include "tests/support/fake_program.h"

namespace kestrune::testing {

namespace {

template <typename Port, typename Fake>
Port& either(Port* given, Fake& fake) {
    return given ? *given : static_cast<Port&>(fake);
}

}  // namespace

FakeProgram::FakeProgram(FakeProgramOptions o)
    : program(Ports{either(o.stores, stores), either(o.settings, settings), http, clock, changes},
              either(o.desktop, desktop),
              either(o.trace, o.quietTrace ? static_cast<Trace&>(quiet) : trace)) {
    program.endProcess = [this](int status) { endedWith.push_back(status); };
}

}  // namespace kestrune::testing
