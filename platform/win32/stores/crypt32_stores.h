// The store catalogue through crypt32: the store locations, the system stores of each and
// their physical stores (listed for the trace only), and the certificates of a store
// opened by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inventory/store_catalogue.h"
#include "inventory/trace.h"

namespace kestrune::win32 {

struct StoreLocation {
    const char* name;
    std::uint32_t id;  // the location number; its flags word is id << 16
};

// The store locations Windows predefines, in location-number order.
const std::vector<StoreLocation>& predefinedStoreLocations();

// Flags words: location in bits 16 to 23, relocate flag in bit 31.
inline constexpr std::uint32_t kCurrentUserFlags = 0x10000;  // CERT_SYSTEM_STORE_CURRENT_USER
inline constexpr std::uint32_t kLocationMask = 0x00FF0000;
inline constexpr std::uint32_t kLowWordMask = 0x0000FFFF;
inline constexpr std::uint32_t kRelocateFlag = 0x80000000;
inline constexpr std::uint32_t kPhysicalImplicitlyCreated = 0x1;

// The argument every enumeration callback is handed; the walk never changes it.
struct WalkArg {
    int enumerateAll = 1;
    int verbose = 0;
    std::uint32_t flags = 0;
    const void* locationParameter = nullptr;
    const void* hKeyBase = nullptr;
};

// A store as an enumeration hands it over: by name, or, with the relocate flag set in
// the flags word, a relocation record of key handle then name.
struct StoreRef {
    const void* hKey = nullptr;
    std::string name;  // UTF-8
};

// The rules of the walk, apart from crypt32 so they can be tested alone.
namespace walk {
// The flags word the stores of a location are listed with.
std::uint32_t systemStoreFlags(const WalkArg& arg, std::uint32_t locationFlags);
// The flags word the physical stores of a store are listed with.
std::uint32_t physicalStoreFlags(const WalkArg& arg, std::uint32_t storeFlags);
// The name of a store handed to a store callback, after the relocate-flag checks, whose
// lines it writes; none when the store must be skipped.
std::optional<std::string> checkedName(const WalkArg& arg, const StoreRef& store,
                                       std::uint32_t flags, Trace& trace);
// Whether a failed physical-store listing is told: not when the store has none (error
// 2, file not found) or the location has no physical stores (50, not supported).
bool physicalFailureIsTold(std::uint32_t error);
// The lines of one physical store.
void tracePhysicalStore(const WalkArg& arg, const StoreRef& store, std::uint32_t flags,
                        Trace& trace);
}  // namespace walk

class Crypt32StoreCatalogue final : public StoreCatalogue {
  public:
    // `listPredefinedLocations`: enumerate predefinedStoreLocations() instead of asking
    // CertEnumSystemStoreLocation, which Wine does not implement.
    Crypt32StoreCatalogue(Trace& trace, bool listPredefinedLocations, WalkArg arg = {})
        : trace_(trace), listPredefinedLocations_(listPredefinedLocations), arg_(arg) {}

    Status listLocations(CatalogueVisitor& visitor) override;
    Status listCurrentUserStores(CatalogueVisitor& visitor) override;
    OpenedStore openStore(const std::string& name) override;

    // One enumeration's steps, called from the crypt32 callbacks; false stops it.
    bool onLocation(CatalogueVisitor& visitor, const std::string& name, std::uint32_t flags);
    bool onSystemStore(CatalogueVisitor& visitor, const StoreRef& store, std::uint32_t flags);

  private:
    // Lists the stores of one flags word; false when crypt32 could not list them.
    bool listSystemStores(CatalogueVisitor& visitor, std::uint32_t flags,
                          const void* locationParameter);
    void listPhysicalStores(const StoreRef& store, std::uint32_t flags);

    Trace& trace_;
    const bool listPredefinedLocations_;
    const WalkArg arg_;
    bool stopped_ = false;  // the visitor stopped the listing under way
};

}  // namespace kestrune::win32
