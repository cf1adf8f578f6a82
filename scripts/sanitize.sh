#!/usr/bin/env bash
# Sanitizer builds, each in a tree of its own and without benchmarks. Any finding fails
# the run (the sanitizers end the test program with a non-zero status).
#   address  ASan+UBSan (-fno-sanitize-recover=all): every Linux test.
#   thread   TSan: the tests in which threads or processes share state.
# Usage: bash scripts/sanitize.sh [address] [thread]   (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
supp="$PWD/tests/sanitizers"

# The tests where two threads or two processes meet, and the programs that hold them.
# Add a test here when it makes threads or processes share tables, keys, databases or
# files.
tsan_tests=(
    'ScanCycle\.CyclesOnTwoThreadsNeverInterleave'
    'ScanCycle\.TryScanCycleDoesNotWaitForARunningCycle'
    'ScanCycle\.ReadersGetTheValidRecordsWhileACycleWaitsForTheUser'
    'SqliteSettings\.BaselineSavedByOneProcessLoadsInAnother'
    'SqliteSettings\.LockHeldPastTheWaitIsBusyAndAShortLockIsWaitedFor'
    'SqliteSettings\.AKeyFindingNoFileWaitsForASetAsideAndFollowsTheName'
    'SqliteCrashConsistency\..*'
    'CheckMonitor\.ALockHeldByAnotherProgramIsAnErrorNotAChange'
    'LinuxStoreFault\.FileRewrittenWhileScansReadItGivesOneWholeVersionOrASkip'
    'InotifySource\.StopEndsAWaitFromAnotherThreadAndEveryLaterOne'
    'InotifySource\.ARequestedCheckRebuildsTheWatchesAndEndsTheWaitAtOnce'
)
# The same for the Qt front end: the hourly worker and the GUI thread (message boxes
# marshalled to the GUI, Scan Now while a cycle runs, Exit during a scan).
tsan_qt_tests=(
    'QtMessageBox\.ABoxAskedForByAWorkerIsShownByTheGuiThreadAndTheWorkerResumes'
    'QtTray\.TooltipsAfterAddingAndAfterACycleOnAWorker'
    'QtTray\.ScanNowOnTheGuiThreadNeverWaitsForACycleThatWaitsForTheUser'
    'QtTrayDeathTest\.ExitEndsTheProcessWithStatusZeroWhileAScanRuns'
    'CertificatesDialogTest\.ScanNowRunsTheUserCycleOnceTheTurnIsFreeAndRefills'
    'KestruneProgram\.ExitFromTheTrayWhileTheCycleWaitsForTheUser'
)
# test_qt runs the built tray program itself.
tsan_programs=(test_app test_linux test_qt kestrune)
tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
# Debian's Qt is not built with TSan: the reference counts of implicitly shared Qt
# values and the locks of Qt's event queue and thread pool run in code TSan cannot
# see, so memory handed between threads through them (a QString freed by the GUI
# thread after the worker dropped its copy, a paint task deleted by a pooled Qt thread)
# is reported as a race. For the Qt tests only, accesses that the sanitizer's
# interceptors see coming from uninstrumented libraries are not judged; every access
# in our own (instrumented) code still is.
tsan_qt_options="$tsan_options:ignore_noninstrumented_modules=1"

configure() {  # <build dir> <sanitizer> [cmake options]
    local dir=$1 sanitizer=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRUNE_SANITIZE="$sanitizer" -DKESTRUNE_BUILD_BENCH=OFF "$@" >/dev/null
}

run_address() {
    local start=$SECONDS
    configure build-asan address
    cmake --build build-asan -j "$jobs"
    ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
        ctest --test-dir build-asan --output-on-failure -j "$jobs"
    echo "ASan+UBSan build and every Linux test: $((SECONDS - start)) s"
}

# ctest over the tests matching the given patterns, each of which must match one.
run_tests() {  # <build dir> <TSAN_OPTIONS> <pattern>...
    local dir=$1 options=$2 test
    shift 2
    for test in "$@"; do  # a renamed test must not drop out of the run unnoticed
        if ! ctest --test-dir "$dir" -N -R "^$test\$" | grep -q 'Total Tests: [1-9]'; then
            echo "no test matches '$test' in $dir" >&2
            return 1
        fi
    done
    TSAN_OPTIONS="$options" ctest --test-dir "$dir" --output-on-failure -j "$jobs" \
        -R "^($(IFS='|'; echo "$*"))\$"
}

run_thread() {
    local start=$SECONDS
    configure build-tsan thread
    cmake --build build-tsan -j "$jobs" --target "${tsan_programs[@]}"
    run_tests build-tsan "$tsan_options" "${tsan_tests[@]}"
    run_tests build-tsan "$tsan_qt_options" "${tsan_qt_tests[@]}"
    echo "TSan build and the concurrency tests: $((SECONDS - start)) s"
}

modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(address thread)
for mode in "${modes[@]}"; do
    case $mode in
        address) run_address ;;
        thread) run_thread ;;
        *) echo "unknown sanitizer: $mode (address or thread)" >&2; exit 2 ;;
    esac
done
