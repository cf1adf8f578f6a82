// The one place the programs get their platform layer from; each platform folder
// implements these.
#pragma once

#include <memory>
#include <string>

#include "baseline/settings_api.h"
#include "inventory/cert_store_api.h"
#include "inventory/trace.h"
#include "ui/http_client.h"

namespace kestrune {

struct PlatformOptions {
    // Linux: the directory the trust stores and the machine settings live under
    // ("/" by default, KESTRUNE_ROOT when set, --root for kestrune-check). Ignored on
    // Windows.
    std::string root;
    // Linux: the user's home folder, where the user's certificate databases live ($HOME
    // by default). Empty: the current user has no stores. Ignored on Windows.
    std::string home;
};

// The root from KESTRUNE_ROOT, or "/"; the home from $HOME.
PlatformOptions defaultPlatformOptions();

std::unique_ptr<CertStoreApi> makeCertStoreApi(const PlatformOptions& options, Trace& trace);
std::unique_ptr<SettingsApi> makeSettingsApi(const PlatformOptions& options);
std::unique_ptr<HttpClient> makeHttpClient();

}  // namespace kestrune
