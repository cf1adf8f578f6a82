// The record every platform layer must make of the test certificate (test_certificate.h)
// found in `store` while `location` is being enumerated.
#pragma once

#include <string_view>

#include "inventory/certificate_record.h"

namespace kestrune::testing {

CertificateRecord testCertificateRecord(std::string_view store, std::string_view location);

}  // namespace kestrune::testing
