#include "app/check_report.h"

#include <algorithm>

#include "inventory/scanner.h"
#include "inventory/text.h"

namespace kestrune {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendUnicodeEscape(std::string& out, long cp) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(kHex[(cp >> shift) & 0xF]);
    }
}

}  // namespace

std::string recordField(const char16_t (&field)[kRecordTextUnits]) {
    // A name may hold a NUL of its own: the text runs to the last unit before the zero
    // fill, so the escaping shows the NUL and what follows it.
    std::size_t end = kRecordTextUnits;
    while (end > 0 && field[end - 1] == u'\0') {
        --end;
    }
    return utf16ToUtf8(std::u16string(field, field + end));
}

namespace {}  // namespace

CheckCommandLine parseCheckCommandLine(const std::vector<std::string>& args) {
    CheckCommandLine result;
    CheckOptions& o = result.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--list") {
            o.list = true;
        } else if (arg == "--accept") {
            o.accept = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--watch") {
            o.watch = true;
        } else if (arg == "--journal") {
            o.journal = true;
        } else if (arg == "--metrics-file" || arg.rfind("--metrics-file=", 0) == 0) {
            const bool split = arg == "--metrics-file";
            if (split && i + 1 < args.size()) {
                o.metricsFile = args[++i];
            } else if (!split) {
                o.metricsFile = arg.substr(15);
            }
            if (!o.metricsFile || o.metricsFile->empty()) {
                result.error = "option '--metrics-file' needs a file name";
                return result;
            }
        } else if (arg == "--root" || arg.rfind("--root=", 0) == 0) {
            std::string value;
            if (arg == "--root") {
                if (i + 1 >= args.size()) {
                    result.error = "option '--root' needs a directory";
                    return result;
                }
                value = args[++i];
            } else {
                value = arg.substr(7);
            }
            if (value.empty()) {
                result.error = "option '--root' needs a directory";
                return result;
            }
            o.root = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            result.error = "unknown option '" + arg + "'";
            return result;
        } else {
            result.error = "unexpected argument '" + arg + "'";
            return result;
        }
    }
    if (o.list && o.accept) {
        result.error = "--accept stores a baseline; --list only prints: give one of them";
    } else if (o.list && (o.metricsFile || o.journal)) {
        result.error = "--metrics-file and --journal report a check; --list only prints";
    } else if (o.list && o.watch) {
        result.error = "--watch repeats a check; --list only prints";
    }
    return result;
}

std::string checkUsage(const std::string& platformHelp) {
    return std::string(
               "Usage: kestrune-check [--accept] [--json] [--journal] [--metrics-file FILE]\n"
               "                      [--root DIR] [--trace] [--watch]\n"
               "       kestrune-check --list [--json] [--root DIR] [--trace]\n"
               "\n"
               "Scans every certificate store once and compares it with the stored baseline\n"
               "(the same one the Kestrune tray program keeps). Without a baseline yet, this\n"
               "scan is stored as the baseline.\n"
               "\n"
               "Every difference is one line, tab-separated: \"added\" (no baseline certificate\n"
               "has its serial number and subject name), \"changed\" (one has, but the\n"
               "certificate itself differs: another SHA-256 fingerprint; or the same one in\n"
               "the same store is trusted otherwise) or \"missing\" (a baseline certificate\n"
               "whose subject name no store has any more), then location, store, serial (hex\n"
               "bytes), subject-name MD5, name and SHA-256 fingerprint; a changed line adds\n"
               "the baseline's fingerprint, and ends with the trust before and after (both\n"
               "empty when the trust did not change). A store that exists but\n"
               "could not be read gets an \"unreadable\" line instead (location, store,\n"
               "reason) and is not compared. A summary line follows.\n"
               "\n"
               "  --accept     after reporting, store the observed state as the new baseline\n"
               "  --list       only print the inventory: one certificate a line (location,\n"
               "               store, serial, subject-name MD5, name, SHA-256, origin, and\n"
               "               the trust its store gives it, empty where it says none), then\n"
               "               \"Unique Certificates: N\" and \"All certificates in all stores: "
               "M\";\n"
               "               an \"unreadable\" line for each store that could not be read\n"
               "  --json       the same as JSON, one object a line (keys event, location,\n"
               "               store, serial, subject_md5, name, sha256, and baseline_sha256\n"
               "               for a change, with trust {old, new} when its trust changed;\n"
               "               event \"unreadable\" with location, store,\n"
               "               reason; then a summary object)\n"
               "  --journal    also send the report to the systemd journal, one entry per\n"
               "               difference with the fields KESTRUNE_EVENT (added, changed,\n"
               "               missing, unreadable, summary, baseline, error),\n"
               "               KESTRUNE_LOCATION, KESTRUNE_STORE, KESTRUNE_REASON (unreadable),\n"
               "               KESTRUNE_SERIAL, KESTRUNE_SUBJECT_MD5 and KESTRUNE_NAME (and\n"
               "               KESTRUNE_TRUST_OLD and KESTRUNE_TRUST_NEW where the trust\n"
               "               changed); taken\n"
               "               without asking, and nothing printed, when standard output\n"
               "               already goes to the journal (as a systemd service's does)\n"
               "  --metrics-file FILE\n"
               "               replace FILE with this run's figures in the Prometheus text\n"
               "               format (for node_exporter's textfile collector), atomically\n"
               "  --root DIR   read the stores and the machine settings under DIR (below)\n"
               "  --trace      write the scanner's diagnostic trace to standard error\n"
               "  --watch      keep running: check at once, then after every change to a store\n"
               "               (once the changes have been quiet for 2 s, at most once in 10 s,\n"
               "               and hourly when nothing changes); each report opens with a\n"
               "               \"check\" line and its UTC time "
               "({\"event\":\"check\",\"time\":...}\n"
               "               with --json), and replaces the metrics file and goes to the\n"
               "               journal as a single check's would. Without a baseline the first\n"
               "               check records it; later ones store nothing unless --accept is\n"
               "               given. SIGTERM or SIGINT (Ctrl+C) ends it with status 0.\n"
               "  --help       show this help\n"
               "  --version    show the version\n"
               "\n") +
           platformHelp +
           "\n"
           "Exit status: 0 nothing differs (or the baseline was just recorded, or --accept\n"
           "stored the changes), 1 something differs, 2 an error (wrong command line,\n"
           "unreadable or locked settings, a metrics file or journal that cannot be\n"
           "written; the message names it), 3 incomplete: a store could not be read (its\n"
           "\"unreadable\" line says why; the other stores were compared, and --accept\n"
           "keeps its baseline records as they were). --watch: each report says what it\n"
           "found; the program ends with 0 once stopped (2 for a wrong command line).\n";
}

std::string checkVersion() {
    return "kestrune-check " KESTRUNE_VERSION "\n";
}

std::string plainField(std::string_view text) {
    return escapeControls(text, true);
}

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const long cp = nextUtf8CodePoint(text, i);
        switch (cp) {
            case -1:
                out += "\\ufffd";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                // Controls, and the two separators JavaScript does not allow in strings.
                if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 ||
                    cp == 0x2029) {
                    appendUnicodeEscape(out, cp);
                } else {
                    out.append(text.substr(start, i - start));
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string originJson(const CertificateOrigin& origin) {
    return "{\"kind\":" + jsonString(originKindName(origin.kind)) +
           ",\"text\":" + jsonString(originText(origin)) + ",\"path\":" + jsonString(origin.path) +
           ",\"package\":" + jsonString(origin.package) +
           ",\"version\":" + jsonString(origin.version) + "}";
}

std::string explainedJson(const std::optional<PackageChange>& by) {
    if (!by) {
        return "null";
    }
    return "{\"package\":" + jsonString(by->package) + ",\"from\":" + jsonString(by->from) +
           ",\"to\":" + jsonString(by->to) + "}";
}

std::vector<LocalRoot> localRoots(const KestruneState& state) {
    std::vector<LocalRoot> roots;
    const auto records = state.mqsCertificates.valid();
    for (std::size_t i = 0; i < records.size() && i < state.currentOrigins.size(); ++i) {
        const CertificateOrigin& origin = state.currentOrigins[i];
        if (!isLocalRoot(origin)) {
            continue;
        }
        LocalRoot root{
            i < state.currentFingerprints.size() ? state.currentFingerprints[i] : Fingerprint{},
            recordField(records[i].name), recordField(records[i].storeName), origin.kind};
        // The current user's stores are read twice a scan: one root, one entry.
        const bool seen = std::any_of(roots.begin(), roots.end(), [&](const LocalRoot& r) {
            return isKnown(r.sha256) && r.sha256 == root.sha256 && r.store == root.store;
        });
        if (!seen) {
            roots.push_back(std::move(root));
        }
    }
    return roots;
}

bool originsKnown(const KestruneState& state) {
    const std::size_t n =
        std::min(state.currentOrigins.size(), state.mqsCertificates.valid().size());
    return std::any_of(
        state.currentOrigins.begin(), state.currentOrigins.begin() + n,
        [](const CertificateOrigin& o) { return o.kind != CertificateOrigin::Kind::Unknown; });
}

std::string listLine(const CertificateRecord& record, const Fingerprint& fingerprint,
                     const CertificateOrigin* origin, const std::string* trust) {
    std::string line = plainField(recordField(record.locationName));
    line += '\t';
    line += plainField(recordField(record.storeName));
    line += '\t';
    line += serialTextCompact(record);
    line += '\t';
    line += subjectHashHex(record);
    line += '\t';
    line += plainField(recordField(record.name));
    line += '\t';
    line += fingerprintHex(fingerprint);
    if (origin != nullptr) {
        line += '\t';
        line += plainField(originText(*origin));
    }
    if (trust != nullptr) {
        line += '\t';
        line += plainField(*trust);
    }
    line += '\n';
    return line;
}

std::string listJsonLine(const CertificateRecord& record, const Fingerprint& fingerprint,
                         const CertificateOrigin* origin, const std::string* trust) {
    std::string line = "{\"location\":" + jsonString(recordField(record.locationName));
    line += ",\"store\":" + jsonString(recordField(record.storeName));
    line += ",\"serial\":" + jsonString(serialTextCompact(record));
    line += ",\"subject_md5\":" + jsonString(subjectHashHex(record));
    line += ",\"name\":" + jsonString(recordField(record.name));
    line += ",\"sha256\":" +
            (isKnown(fingerprint) ? jsonString(fingerprintHex(fingerprint)) : std::string("null"));
    if (origin != nullptr) {
        line += ",\"origin\":" + originJson(*origin);
    }
    if (trust != nullptr) {
        line += ",\"trust\":" + jsonString(*trust);
    }
    line += "}\n";
    return line;
}

std::string unreadableLine(const UnreadableStore& store, bool json) {
    if (json) {
        return "{\"event\":\"unreadable\",\"location\":" + jsonString(store.location) +
               ",\"store\":" + jsonString(store.store) + ",\"reason\":" + jsonString(store.reason) +
               "}\n";
    }
    return "unreadable\t" + plainField(store.location) + "\t" + plainField(store.store) + "\t" +
           plainField(store.reason) + "\n";
}

std::string countsText(int unique, int total) {
    return formatText("Unique Certificates: %d\nAll certificates in all stores: %d\n", unique,
                      total);
}

std::string countsJsonLine(int unique, int total) {
    return formatText("{\"unique_certificates\":%d,\"all_certificates\":%d}\n", unique, total);
}

std::string localRootsText(const KestruneState& state, bool json) {
    const bool known = originsKnown(state);
    // Certificates, not entries: a local anchor is also in the bundle made from it.
    std::vector<Fingerprint> distinct;
    std::size_t unhashed = 0;
    for (const LocalRoot& root : localRoots(state)) {
        if (!isKnown(root.sha256)) {
            ++unhashed;
        } else if (std::find(distinct.begin(), distinct.end(), root.sha256) == distinct.end()) {
            distinct.push_back(root.sha256);
        }
    }
    const std::string count = known ? std::to_string(distinct.size() + unhashed) : "";
    if (json) {
        return "{\"local_roots\":" + (known ? count : std::string("null")) + "}\n";
    }
    // Without a package database nothing tells a local root from a shipped one.
    return "local roots: " + (known ? count : std::string("unknown")) + "\n";
}

std::string listReport(const KestruneState& state, bool json,
                       const std::vector<UnreadableStore>& unreadable) {
    std::string out;
    const auto records = state.mqsCertificates.valid();
    out.reserve(records.size() * 190);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Fingerprint fingerprint =
            i < state.currentFingerprints.size() ? state.currentFingerprints[i] : Fingerprint{};
        const CertificateOrigin unknown;
        const CertificateOrigin* origin =
            i < state.currentOrigins.size() ? &state.currentOrigins[i] : &unknown;
        const std::string none;
        const std::string* trust = i < state.currentTrust.size() ? &state.currentTrust[i] : &none;
        out += json ? listJsonLine(records[i], fingerprint, origin, trust)
                    : listLine(records[i], fingerprint, origin, trust);
    }
    // An inventory never hides that it is partial.
    for (const UnreadableStore& store : unreadable) {
        out += unreadableLine(store, json);
    }
    const int unique = state.uniqueCertificateCount;
    const int total = state.iCertificateCountTotal;
    out += json ? countsJsonLine(unique, total) : countsText(unique, total);
    out += localRootsText(state, json);
    return out;
}

std::optional<std::string> scanAndList(StoreCatalogue& stores, Trace& trace, bool json,
                                       bool* incomplete) {
    KestruneState state;
    const ScanResult scanned = scan(state, stores, trace);
    if (scanned.outOfMemory) {
        return std::nullopt;  // a partial inventory must not pass for the whole one
    }
    if (incomplete != nullptr) {
        *incomplete = !scanned.unreadable.empty();
    }
    return listReport(state, json, scanned.unreadable);
}

}  // namespace kestrune
