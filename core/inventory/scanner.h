// The store scanner: two passes over the platform's stores, one record per certificate
// appended to mqsCertificates. It neither resets counters nor compares anything.
#pragma once

#include <string>
#include <vector>

#include "inventory/cert_store_api.h"
#include "inventory/state.h"
#include "inventory/trace.h"

namespace kestrune {

// The argument handed to every enumeration callback; the scan never changes it.
struct EnumArg {
    int enumerateAll = 1;
    int verbose = 0;
    std::uint32_t flags = 0;
    const void* locationParameter = nullptr;
    const void* hKeyBase = nullptr;
};

// A store that exists but could not be read or walked this time, under the names its
// records carry. An empty store name stands for every store of the location (they could
// not be listed), an empty location too for every location.
struct UnreadableStore {
    std::string location;
    std::string store;
    std::string reason;
    bool operator==(const UnreadableStore&) const = default;
};

// What a scan could not do. A scan that ran out of memory stopped early: its records are
// no inventory, and nothing may be compared with them or saved. Unreadable stores leave
// the inventory partial: what their records were is not known.
struct ScanResult {
    bool outOfMemory = false;
    std::vector<UnreadableStore> unreadable;  // in scan order, each store once
    bool complete() const { return !outOfMemory && unreadable.empty(); }
};

class Scanner {
  public:
    Scanner(KestruneState& state, CertStoreApi& stores, Trace& trace, EnumArg arg = {})
        : state_(state), stores_(stores), trace_(trace), arg_(arg) {}

    // Pass 1: every location and its system stores. Pass 2: the current user's system
    // stores again, under the location name pass 1 left behind.
    ScanResult scan();
    // Opens one store by name and appends a record per readable certificate; returns
    // the number appended from this store.
    int collectStore(const std::string& storeName);

  private:
    bool locationCallback(const std::string& location, std::uint32_t flags);
    bool systemStoreCallback(const StoreRef& store, std::uint32_t flags);
    bool physicalStoreCallback(const StoreRef& store, std::uint32_t flags);
    // The relocate-flag checks shared by both store callbacks; false means no name.
    bool storeName(const StoreRef& store, std::uint32_t flags, std::string& name);
    void markUnreadable(std::string location, std::string store, const std::string& reason);

    KestruneState& state_;
    CertStoreApi& stores_;
    Trace& trace_;
    const EnumArg arg_;
    ScanResult result_;
};

// One scan with a fresh Scanner.
ScanResult scan(KestruneState& state, CertStoreApi& stores, Trace& trace);

}  // namespace kestrune
