// The Linux trust sources as certificate stores: the bundle, the anchor and blocklist
// folders under the root, and the user's NSS databases under the home folder.
#pragma once

#include <memory>

#include "app/ports.h"
#include "inventory/cert_store_api.h"
#include "inventory/trace.h"

namespace kestrune {

std::unique_ptr<CertStoreApi> makeTrustStoreApi(const PlatformOptions& options, Trace& trace);

}  // namespace kestrune
