// One Linux store as the certificate-store API lists it: a trust-store file or folder
// set, or a certificate database. The API finds its stores afresh for every scan (once,
// however many stores there are), so a profile or folder that appears while the program
// runs is seen by the next scan.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inventory/cert_store_api.h"

namespace kestrune {

// Location numbers in bits 16 to 23 of a flags word: the current user has the number
// the scanner's second pass asks for.
inline constexpr std::uint32_t kLinuxCurrentUser = kCertSystemStoreCurrentUser;  // 1 << 16
inline constexpr std::uint32_t kLinuxSystem = 2u << 16;
inline constexpr char kLinuxCurrentUserName[] = "CurrentUser";
inline constexpr char kLinuxSystemName[] = "System";

class StoreSource {
  public:
    virtual ~StoreSource() = default;
    virtual const std::string& name() const = 0;
    virtual std::uint32_t location() const = 0;
    // The files and folders the store is made of, for the trace.
    virtual std::vector<std::string> physicalStores() const = 0;
    // Null, with `error` set, when the store is absent or cannot be read at all.
    virtual std::unique_ptr<OpenCertStore> open(StoreError& error) const = 0;
};

using StoreSources = std::vector<std::unique_ptr<StoreSource>>;

}  // namespace kestrune
