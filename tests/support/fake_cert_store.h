// An in-memory certificate-store API: a supplied list of locations, stores and
// certificates, with switches for every failure the scanner must survive.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "inventory/cert_store_api.h"

namespace kestrune::testing {

struct FakeCert {
    std::string name;
    std::vector<std::uint8_t> subjectMd5;  // property 29
    std::vector<std::uint8_t> serialLE;    // least significant byte first, as the platform
    Fingerprint sha256{};                  // makeCert derives one from serial and subject
    bool nameFails = false;
    bool propertyFails = false;
    bool sha256Fails = false;
};

// A certificate from a serial written most significant byte first.
FakeCert makeCert(std::string name, std::vector<std::uint8_t> serialMsbFirst,
                  std::uint8_t hashSeed);

struct FakePhysical {
    std::string name;
    std::uint32_t flags = 0;
};

struct FakeStore {
    FakeStore(std::string n, std::vector<FakeCert> c = {})
        : name(std::move(n)), certs(std::move(c)) {}
    std::string name;
    std::vector<FakeCert> certs;
    bool opens = true;          // false: it exists but cannot be opened (unreadable)
    bool absentOnOpen = false;  // listed, but gone by the time it is opened
    // The walk fails after this many certificates (none: it never fails).
    std::optional<std::size_t> walkFailsAfter;
    bool relocated = false;      // handed over as a relocation record
    const void* hKey = nullptr;  // the relocation record's key
    std::vector<FakePhysical> physical;
    bool physicalFails = false;
    std::uint32_t physicalError = 0;
};

struct FakeLocation {
    FakeLocation(std::string n, std::uint32_t f, std::vector<FakeStore> s = {})
        : name(std::move(n)), flags(f), stores(std::move(s)) {}
    std::string name;
    std::uint32_t flags = 0;  // the location number in bits 16 to 23
    std::vector<FakeStore> stores;
    bool storesFail = false;
};

class FakeCertStoreApi : public CertStoreApi {
  public:
    std::vector<FakeLocation> locations;
    bool locationsFail = false;
    // Called when a store is opened and closed, for tests that watch overlap.
    std::function<void(const std::string& event)> onEvent;

    bool enumerateLocations(std::uint32_t flags, const LocationCallback& callback) override;
    bool enumerateSystemStores(std::uint32_t flags, const void* locationParameter,
                               const StoreCallback& callback) override;
    bool enumeratePhysicalStores(const StoreRef& store, std::uint32_t flags,
                                 const StoreCallback& callback, std::uint32_t& error) override;
    std::unique_ptr<OpenCertStore> openStore(const std::string& name, StoreError& error) override;

    // The flags words the system-store enumeration was called with, in order.
    std::vector<std::uint32_t> systemStoreFlags() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> systemStoreFlags_;
};

}  // namespace kestrune::testing
