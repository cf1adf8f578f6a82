// What the program is given by its platform: the certificate stores, the settings, the
// HTTP client, the clock and what watches the stores. Each platform folder makes them
// (platform/platform.h); the desktop and the trace are the front end's own and come
// separately.
#pragma once

#include "baseline/baseline_store.h"
#include "inventory/change_source.h"
#include "inventory/clock.h"
#include "inventory/store_catalogue.h"
#include "ui/http_client.h"

namespace kestrune {

// The one bundle of ports, by reference: whoever made them owns them (the platform's
// PlatformPorts, a test's fakes).
struct Ports {
    StoreCatalogue& stores;
    BaselineStores& settings;
    HttpClient& http;
    Clock& clock;
    ChangeSource& changes;  // the stores above, watched
};

}  // namespace kestrune
