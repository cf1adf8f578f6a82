// The Windows platform as the program sees it: crypt32 stores, the registry, wininet,
// the system clock.
#include "app/ports.h"

#include "platform/platform.h"
#include "platform/win32/http/wininet_http.h"
#include "platform/win32/settings/registry_settings.h"
#include "platform/win32/stores/crypt32_stores.h"
#include "platform/win32/win32_text.h"

namespace kestrune {

PlatformOptions defaultPlatformOptions() {
    return PlatformOptions{};
}

PlatformPorts makePorts(const PlatformOptions& options, Trace& trace) {
    std::string wineVersion;
    const bool underWine = win32::runningUnderWine(&wineVersion);
    if (underWine) {
        trace.errf("Wine %s: listing the predefined store locations.\n", wineVersion.c_str());
    }
    PlatformPorts ports;
    ports.stores = std::make_unique<win32::Crypt32StoreCatalogue>(trace, underWine);
    ports.settings = std::make_unique<win32::RegistrySettingsApi>();
    ports.http = std::make_unique<win32::WininetHttpClient>();
    ports.clock = std::make_unique<SystemClock>();
    ports.changes = makeChangeSource(options);
    return ports;
}

}  // namespace kestrune
