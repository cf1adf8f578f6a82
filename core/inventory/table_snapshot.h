// A consistent copy of what the certificate list shows, taken between cycles.
#pragma once

#include <cstdint>
#include <vector>

#include "inventory/certificate_record.h"
#include "inventory/state.h"

namespace kestrune {

struct TableSnapshot {
    std::vector<CertificateRecord> records;  // the valid records of mqsCertificates
    std::int32_t iCertificateCountTotal = 0;
    std::int32_t uniqueCertificateCount = 0;
    LocalTime lastScanTime{};
};

}  // namespace kestrune
