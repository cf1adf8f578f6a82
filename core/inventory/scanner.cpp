#include "inventory/scanner.h"

#include <vector>

#include "inventory/text.h"

namespace kestrune {

namespace {

// The 256-unit name buffers hold at most 255 units.
std::string cutTo255Units(const std::string& name) {
    return cutToUtf16Units(name, 255);
}

}  // namespace

ScanResult scan(KestruneState& state, CertStoreApi& stores, Trace& trace) {
    return Scanner(state, stores, trace).scan();
}

ScanResult Scanner::scan() {
    result_ = {};
    trace_.out("Begin enumeration of store locations. \n");
    const bool locationsOk = stores_.enumerateLocations(
        kCertSystemStoreCurrentUser, [this](const std::string& location, std::uint32_t flags) {
            return locationCallback(location, flags);
        });
    trace_.out(locationsOk ? "\nFinished enumerating locations. \n"
                           : "Enumeration of locations failed.");
    if (!locationsOk) {
        markUnreadable("", "", "the store locations could not be listed");
    }

    if (result_.outOfMemory) {
        return result_;
    }
    trace_.out("\nBegin enumeration of system stores. \n");
    // The current user's stores once more; currentLocationName keeps pass 1's last name.
    const bool storesOk = stores_.enumerateSystemStores(
        kCertSystemStoreCurrentUser, nullptr, [this](const StoreRef& store, std::uint32_t flags) {
            return systemStoreCallback(store, flags);
        });
    trace_.out(storesOk ? "\nFinished enumerating system stores. \n"
                        : "Enumeration of system stores failed.");
    // Not a gap when it fails: pass 1 listed the same stores, and the comparisons go by
    // certificate, not by location.
    return result_;
}

bool Scanner::locationCallback(const std::string& location, std::uint32_t flags) {
    state_.currentStoreName = cutTo255Units(location);
    state_.currentLocationName = cutTo255Units(location);
    trace_.outf("======   %s   ======\n", location.c_str());
    if (arg_.enumerateAll) {
        const std::uint32_t storeFlags = (arg_.flags & ~kLocationMask) | (flags & ~kLowWordMask);
        const bool listed = stores_.enumerateSystemStores(
            storeFlags, arg_.locationParameter, [this](const StoreRef& store, std::uint32_t f) {
                return systemStoreCallback(store, f);
            });
        if (!listed && !result_.outOfMemory) {
            markUnreadable(state_.currentLocationName, "", "its stores could not be listed");
        }
    }
    return !result_.outOfMemory;  // out of memory ends the scan
}

bool Scanner::storeName(const StoreRef& store, std::uint32_t flags, std::string& name) {
    if (arg_.hKeyBase != nullptr && (flags & kRelocateFlag) == 0) {
        trace_.out("Failed => RELOCATE_FLAG not set in callback. \n");
        return false;
    }
    if (flags & kRelocateFlag) {
        if (arg_.hKeyBase == nullptr) {
            trace_.out("Failed => RELOCATE_FLAG is set in callback");
        } else if (store.hKey != arg_.hKeyBase) {
            trace_.out("Wrong hKeyBase passed to callback");
        }
    }
    name = store.name;
    return true;
}

bool Scanner::systemStoreCallback(const StoreRef& store, std::uint32_t flags) {
    std::string name;
    if (storeName(store, flags, name)) {
        state_.currentStoreName = cutTo255Units(name);
        trace_.outf("  %s\n", name.c_str());
        collectStore(name);
    } else {
        trace_.out("GetSystemName failed.");
    }

    // Physical stores are listed for the trace only.
    if (!result_.outOfMemory && (arg_.enumerateAll || arg_.verbose)) {
        const std::uint32_t physicalFlags = (flags & ~kLowWordMask) | (arg_.flags & kLowWordMask);
        std::uint32_t error = 0;
        const bool ok = stores_.enumeratePhysicalStores(
            store, physicalFlags,
            [this](const StoreRef& physical, std::uint32_t f) {
                return physicalStoreCallback(physical, f);
            },
            error);
        if (!ok && error != kErrorFileNotFound && error != kErrorNotSupported) {
            trace_.out("    CertEnumPhysicalStore");
        }
    }
    return !result_.outOfMemory;
}

bool Scanner::physicalStoreCallback(const StoreRef& store, std::uint32_t flags) {
    std::string name;
    if (!storeName(store, flags, name)) {
        trace_.out("GetSystemName failed.");
        return true;
    }
    trace_.outf("    %s", name.c_str());
    if (arg_.verbose && (flags & kPhysicalImplicitlyCreated)) {
        trace_.out(" (implicitly created)");
    }
    trace_.out("\n");
    return true;
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
    StoreError error;
    std::unique_ptr<OpenCertStore> store = stores_.openStore(name, error);
    if (!store) {
        const std::string why = error.why.empty() ? "unknown error" : error.why;
        trace_.errf("The %s store could not be opened: %s\n", name.c_str(), why.c_str());
        if (error.unreadable) {
            markUnreadable(state_.currentLocationName, state_.currentStoreName, why);
        }
        return 0;
    }
    trace_.errf("The %s store has been opened. \n", name.c_str());

    int iCertsInStore = 0;
    std::string displayName;
    std::vector<std::uint8_t> hash;
    while (const Certificate* cert = store->next()) {
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
        CertificateRecord& record = *appended;

        displayName.clear();
        if (!cert->simpleDisplayName(displayName)) {
            trace_.err("CertGetNameString() failed. \n");
            continue;  // the zeroed record is overwritten by the next certificate
        }
        hash.clear();
        if (!cert->subjectNameMd5(hash)) {
            trace_.out("CertGetCertificateContextProperty() failed.");
            continue;
        }
        if (hash.size() > kPropertyBufferBytes) {
            hash.resize(kPropertyBufferBytes);
        }

        setSubjectNameHash(record, hash.data(), hash.size());
        const std::vector<std::uint8_t> serial = cert->serialLittleEndian();
        setSerialFromLittleEndian(record, serial.data(), serial.size());
        setRecordText(record.name, displayName);
        setRecordText(record.storeName, state_.currentStoreName);
        setRecordText(record.locationName, state_.currentLocationName);
        if (!cert->sha256(state_.appendedFingerprint())) {
            state_.appendedFingerprint() = {};
            trace_.err("The certificate's SHA-256 could not be computed.\n");
        }
        // Runs the unique count and raises iCertificateCountTotal.
        state_.commitAppendedRecord();
        ++iCertsInStore;
        trace_.outf("Certcount: %d\r\n", state_.iCertificateCountTotal - 1);
    }
    if (!result_.outOfMemory) {
        const std::string failure = store->walkFailure();
        if (!failure.empty()) {
            trace_.errf("The %s store could not be read to the end: %s\n", name.c_str(),
                        failure.c_str());
            markUnreadable(state_.currentLocationName, state_.currentStoreName, failure);
        }
    }
    store.reset();

    trace_.out("The function completed successfully. \n");
    trace_.outf("Total Certificates: %d (This store: %d)\r\n", state_.iCertificateCountTotal.load(),
                iCertsInStore);
    trace_.out("Hit any key to continue...\r\n");
    return iCertsInStore;
}

}  // namespace kestrune
