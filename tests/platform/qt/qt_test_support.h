// Helpers for the Qt tests: one application object for the whole test program, and
// waiting with the event loop running.
#pragma once

#include <functional>

class QApplication;

namespace kestrune::testing {

// Created on first use and never destroyed (the platform plugin outlives every test).
QApplication& qtApp();

// Processes events until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace kestrune::testing
