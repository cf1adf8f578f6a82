#include "inventory/scanner.h"

#include <algorithm>
#include <vector>

#include "inventory/text.h"

namespace kestrune {

namespace {

// The 256-unit name buffers hold at most 255 units.
std::string cutTo255Units(const std::string& name) {
    return cutToUtf16Units(name, 255);
}

// The platform's property buffer holds at most 1,024 bytes.
constexpr std::size_t kMaxSubjectHashBytes = 1024;

}  // namespace

ScanResult scan(KestruneState& state, StoreCatalogue& stores, Trace& trace) {
    return Scanner(state, stores, trace).scan();
}

ScanResult Scanner::scan() {
    result_ = {};
    trace_.out("Begin enumeration of store locations. \n");
    const bool locationsOk = stores_.listLocations(*this).ok();
    trace_.out(locationsOk ? "\nFinished enumerating locations. \n"
                           : "Enumeration of locations failed.");
    if (!locationsOk) {
        markUnreadable("", "", "the store locations could not be listed");
    }

    if (result_.outOfMemory) {
        return result_;
    }
    // The current user's stores are collected a second time in every scan, by choice:
    // the baselines already saved hold them twice, once under their own location and
    // once under the location pass 1 named last (currentLocationName is left as it is).
    trace_.out("\nBegin enumeration of system stores. \n");
    const bool storesOk = stores_.listCurrentUserStores(*this).ok();
    trace_.out(storesOk ? "\nFinished enumerating system stores. \n"
                        : "Enumeration of system stores failed.");
    // Not a gap when it fails: pass 1 listed the same stores, and the comparisons go by
    // certificate, not by location.
    return result_;
}

void Scanner::location(const std::string& name) {
    state_.currentStoreName = cutTo255Units(name);
    state_.currentLocationName = cutTo255Units(name);
    trace_.outf("======   %s   ======\n", name.c_str());
}

void Scanner::storesUnlisted() {
    if (result_.outOfMemory) {
        return;  // the listing stopped because the scan did
    }
    markUnreadable(state_.currentLocationName, "", "its stores could not be listed");
}

bool Scanner::store(const std::string& name) {
    state_.currentStoreName = cutTo255Units(name);
    trace_.outf("  %s\n", name.c_str());
    collectStore(name);
    return !result_.outOfMemory;  // out of memory ends the scan
}

void Scanner::markUnreadable(std::string location, std::string store, const std::string& reason) {
    // The current user's stores are walked twice; each store is told once.
    for (const UnreadableStore& known : result_.unreadable) {
        if (known.location == location && known.store == store) {
            return;
        }
    }
    result_.unreadable.push_back(UnreadableStore{std::move(location), std::move(store), reason});
}

int Scanner::collectStore(const std::string& name) {
    trace_.errf("The store name is %s.\n", name.c_str());
    OpenedStore store = stores_.openStore(name);
    if (!store) {
        const std::string why = store.error().empty() ? "unknown error" : store.error();
        trace_.errf("The %s store could not be opened: %s\n", name.c_str(), why.c_str());
        if (store.unreadable()) {
            markUnreadable(state_.currentLocationName, state_.currentStoreName, why);
        }
        return 0;
    }
    trace_.errf("The %s store has been opened. \n", name.c_str());

    int iCertsInStore = 0;
    StoreReader& reader = store.reader();
    Result<bool> more = reader.next();
    for (; more.ok() && more.value(); more = reader.next()) {
        trace_.outf(
            "Preparing to realloc memory for next certificate...(iCertificateCountTotal: %d - "
            "iCertsInStore: %d)\r\n",
            state_.iCertificateCountTotal.load(), iCertsInStore);
        CertificateRecord* const appended = state_.beginAppend();
        if (appended == nullptr) {
            trace_.out("Memory Error.\r\n");
            result_.outOfMemory = true;
            break;
        }
        collectCertificate(reader.facts(), *appended, iCertsInStore);
    }
    if (!more.ok() && !result_.outOfMemory) {
        trace_.errf("The %s store could not be read to the end: %s\n", name.c_str(),
                    more.error().c_str());
        markUnreadable(state_.currentLocationName, state_.currentStoreName, more.error());
    }
    store.close();  // before the closing lines, as the platform's walk did

    trace_.out("The function completed successfully. \n");
    trace_.outf("Total Certificates: %d (This store: %d)\r\n", state_.iCertificateCountTotal.load(),
                iCertsInStore);
    trace_.out("Hit any key to continue...\r\n");
    return iCertsInStore;
}

void Scanner::collectCertificate(const CertificateFacts& facts, CertificateRecord& record,
                                 int& iCertsInStore) {
    if (!facts.displayName) {
        trace_.err("CertGetNameString() failed. \n");
        return;  // the zeroed record is overwritten by the next certificate
    }
    if (!facts.subjectNameHash) {
        trace_.out("CertGetCertificateContextProperty() failed.");
        return;
    }
    const std::vector<std::uint8_t>& hash = *facts.subjectNameHash;
    setSubjectNameHash(record, hash.data(), std::min(hash.size(), kMaxSubjectHashBytes));
    setSerialFromLittleEndian(record, facts.serialLittleEndian.data(),
                              facts.serialLittleEndian.size());
    setRecordText(record.name, *facts.displayName);
    setRecordText(record.storeName, state_.currentStoreName);
    setRecordText(record.locationName, state_.currentLocationName);
    if (facts.sha256) {
        state_.appendedFingerprint() = *facts.sha256;
    } else {
        state_.appendedFingerprint() = {};
        trace_.err("The certificate's SHA-256 could not be computed.\n");
    }
    state_.appendedOrigin() = facts.origin;
    // Cut as the baseline stores it, so a long text compares equal with its stored self.
    state_.appendedTrust() = cutToUtf8Bytes(facts.trust, kTrustTextBytes);
    // Runs the unique count and raises iCertificateCountTotal.
    state_.commitAppendedRecord();
    ++iCertsInStore;
    trace_.outf("Certcount: %d\r\n", state_.iCertificateCountTotal - 1);
}

}  // namespace kestrune
