// An in-memory store catalogue: a supplied list of locations, stores and certificates,
// with switches for every failure the scanner must survive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "inventory/store_catalogue.h"

namespace kestrune::testing {

struct FakeCert {
    std::string name;
    std::vector<std::uint8_t> subjectMd5;  // the subject-name hash
    std::vector<std::uint8_t> serialLE;    // least significant byte first, as the platform
    Fingerprint sha256{};                  // makeCert derives one from serial and subject
    bool nameFails = false;
    bool propertyFails = false;  // the subject-name hash cannot be read
    bool sha256Fails = false;
    CertificateOrigin origin{};
    std::string trust;  // as the store would word it; empty: it says nothing
};

// A certificate from a serial written most significant byte first.
FakeCert makeCert(std::string name, std::vector<std::uint8_t> serialMsbFirst,
                  std::uint8_t hashSeed);

struct FakeStore {
    FakeStore(std::string n, std::vector<FakeCert> c = {})
        : name(std::move(n)), certs(std::move(c)) {}
    std::string name;
    std::vector<FakeCert> certs;
    bool opens = true;          // false: it exists but cannot be opened (unreadable)
    bool absentOnOpen = false;  // listed, but gone by the time it is opened
    // The walk fails after this many certificates (none: it never fails).
    std::optional<std::size_t> walkFailsAfter;
};

struct FakeLocation {
    FakeLocation(std::string n, std::vector<FakeStore> s = {})
        : name(std::move(n)), stores(std::move(s)) {}
    std::string name;
    std::vector<FakeStore> stores;
    bool storesFail = false;
};

class FakeStoreCatalogue : public StoreCatalogue {
  public:
    std::vector<FakeLocation> locations;
    bool locationsFail = false;
    // The location whose stores are listed alone as the current user's.
    std::string currentUserLocation = "CurrentUser";
    // Called when a store is opened and closed, for tests that watch overlap.
    std::function<void(const std::string& event)> onEvent;
    // How many certificates had their facts read, over all stores.
    int factsRead = 0;
    // The package log, and what the sources say of a missing certificate (by fingerprint).
    std::vector<PackageChange> changes;
    std::vector<std::pair<Fingerprint, CertificateOrigin>> missingOrigins;

    Status listLocations(CatalogueVisitor& visitor) override;
    Status listCurrentUserStores(CatalogueVisitor& visitor) override;
    OpenedStore openStore(const std::string& name) override;
    std::vector<PackageChange> packageChanges() override { return changes; }
    CertificateOrigin originOfMissing(const std::string& store, const Fingerprint& sha256) override;
};

// Writes down what a catalogue lists: "location NAME", "store NAME" and "unlisted", in
// order; stops the listing at the store named `stopAt`.
struct ListingRecorder : CatalogueVisitor {
    std::vector<std::string> events;
    std::string stopAt;
    void location(const std::string& name) override { events.push_back("location " + name); }
    void storesUnlisted() override { events.push_back("unlisted"); }
    bool store(const std::string& name) override {
        events.push_back("store " + name);
        return name != stopAt;
    }
};

}  // namespace kestrune::testing
