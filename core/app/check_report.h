// kestrune-check's command line and the text it prints, kept apart from the program's
// entry point so they can be tested and grown without a platform layer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/origin.h"
#include "inventory/scanner.h"
#include "inventory/state.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"

namespace kestrune {

struct CheckOptions {
    bool list = false;
    bool accept = false;
    bool json = false;
    bool trace = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> root;
    std::optional<std::string> metricsFile;  // node_exporter textfile to replace
    bool journal = false;                    // each difference an entry in the journal
    bool watch = false;                      // check again after every change, until stopped
};

struct CheckCommandLine {
    CheckOptions options;
    std::string error;  // set when the command line is wrong (exit status 2)
};

inline constexpr int kCheckExitOk = 0;
inline constexpr int kCheckExitError = 2;

// The arguments after the program name.
CheckCommandLine parseCheckCommandLine(const std::vector<std::string>& args);

// The help; platformHelp is the paragraph on where this platform's stores and settings are.
std::string checkUsage(const std::string& platformHelp);
std::string checkVersion();

// A record's text field for a report: every unit up to the zero fill, so a NUL inside a
// name is escaped with the rest rather than ending it.
std::string recordField(const char16_t (&field)[kRecordTextUnits]);

// One record a line, tab-separated: location, store, serial ("%02x" bytes separated by
// single spaces), subject-name MD5 (lower-case hex), name, SHA-256 fingerprint
// (lower-case hex; empty when not known). Control characters in the text fields are
// escaped, so a certificate cannot fake a line of its own.
// With an origin, its text follows as one more field; with a trust, the trust text the
// store gives the certificate after it (empty where the store says nothing).
std::string listLine(const CertificateRecord& record, const Fingerprint& fingerprint = {},
                     const CertificateOrigin* origin = nullptr, const std::string* trust = nullptr);
// The same as one JSON object ("sha256" null when not known; "origin" an object; "trust"
// a string).
std::string listJsonLine(const CertificateRecord& record, const Fingerprint& fingerprint = {},
                         const CertificateOrigin* origin = nullptr,
                         const std::string* trust = nullptr);
// An origin as a JSON object: kind, text, path, package, version.
std::string originJson(const CertificateOrigin& origin);
// The package change that explains a difference as a JSON object, or null.
std::string explainedJson(const std::optional<PackageChange>& by);

// A certificate of the latest scan that no package ships.
struct LocalRoot {
    Fingerprint sha256{};
    std::string subject;
    std::string store;
    CertificateOrigin::Kind origin = CertificateOrigin::Kind::Unknown;
};
// Each local root once (a store read twice a scan lists it once), in scan order.
std::vector<LocalRoot> localRoots(const KestruneState& state);
// Whether the scan learnt the origin of any certificate (no package database: none).
bool originsKnown(const KestruneState& state);
// "local roots: 2", each certificate counted once whatever stores hold it ("unknown"
// without origins), or the JSON object.
std::string localRootsText(const KestruneState& state, bool json);
// A store that could not be read: "unreadable", location, store, reason (tab-separated,
// escaped as the records are), or the JSON object with event "unreadable".
std::string unreadableLine(const UnreadableStore& store, bool json);
// The two figures after the records.
std::string countsText(int unique, int total);
std::string countsJsonLine(int unique, int total);

// Every valid record of the latest scan, then the unreadable stores, then the figures.
std::string listReport(const KestruneState& state, bool json,
                       const std::vector<UnreadableStore>& unreadable = {});

// One scan of `stores` into a fresh state, and its list; nothing when the scan ran out
// of memory. `incomplete` (when given) tells whether a store could not be read.
std::optional<std::string> scanAndList(StoreCatalogue& stores, Trace& trace, bool json,
                                       bool* incomplete = nullptr);

// A JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);
// Text for one tab-separated field: control characters and backslashes escaped.
std::string plainField(std::string_view text);

}  // namespace kestrune
