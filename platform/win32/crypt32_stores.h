// Certificate stores through crypt32: the platform's store locations, system and
// physical stores, and the certificates of a store opened by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inventory/cert_store_api.h"

namespace kestrune::win32 {

struct StoreLocation {
    const char* name;
    std::uint32_t id;  // the location number; its flags word is id << 16
};

// The store locations Windows predefines, in location-number order.
const std::vector<StoreLocation>& predefinedStoreLocations();

class Crypt32StoreApi final : public CertStoreApi {
  public:
    // `listPredefinedLocations`: enumerate predefinedStoreLocations() instead of asking
    // CertEnumSystemStoreLocation, which Wine does not implement.
    explicit Crypt32StoreApi(bool listPredefinedLocations)
        : listPredefinedLocations_(listPredefinedLocations) {}

    bool enumerateLocations(std::uint32_t flags, const LocationCallback& callback) override;
    bool enumerateSystemStores(std::uint32_t flags, const void* locationParameter,
                               const StoreCallback& callback) override;
    bool enumeratePhysicalStores(const StoreRef& store, std::uint32_t flags,
                                 const StoreCallback& callback, std::uint32_t& error) override;
    std::unique_ptr<OpenCertStore> openStore(const std::string& name, StoreError& error) override;

  private:
    const bool listPredefinedLocations_;
};

}  // namespace kestrune::win32
