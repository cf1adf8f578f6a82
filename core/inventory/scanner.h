// The store scanner: two passes over the platform's stores, one record per certificate
// appended to mqsCertificates. It neither resets counters nor compares anything.
#pragma once

#include <string>
#include <vector>

#include "inventory/state.h"
#include "inventory/store_catalogue.h"
#include "inventory/trace.h"

namespace kestrune {

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

class Scanner final : private CatalogueVisitor {
  public:
    Scanner(KestruneState& state, StoreCatalogue& stores, Trace& trace)
        : state_(state), stores_(stores), trace_(trace) {}

    // Pass 1: every location and its stores. Pass 2: the current user's stores again,
    // under the location name pass 1 left behind.
    ScanResult scan();
    // Opens one store by name and appends a record per readable certificate; returns
    // the number appended from this store.
    int collectStore(const std::string& storeName);

  private:
    void location(const std::string& name) override;
    void storesUnlisted() override;
    bool store(const std::string& name) override;
    // Appends the record of one certificate, or writes why it is skipped.
    void collectCertificate(const CertificateFacts& facts, CertificateRecord& record,
                            int& iCertsInStore);
    void markUnreadable(std::string location, std::string store, const std::string& reason);

    KestruneState& state_;
    StoreCatalogue& stores_;
    Trace& trace_;
    ScanResult result_;
};

// One scan with a fresh Scanner.
ScanResult scan(KestruneState& state, StoreCatalogue& stores, Trace& trace);

}  // namespace kestrune
