#include "inventory/state.h"

namespace kestrune {

void KestruneState::resetScanCounters() {
    uniqueCertificateCount = 0;
    iCertificateCountTotal = 0;
    scanSerials.clear();
}

CertificateRecord* KestruneState::beginAppend() {
    return mqsCertificates.prepareRecord(static_cast<std::size_t>(iCertificateCountTotal));
}

void KestruneState::commitAppendedRecord() {
    const auto n = static_cast<std::size_t>(iCertificateCountTotal);
    const CertificateRecord& record = mqsCertificates[n];
    // Unique when no earlier record of this scan starts with this record's serial
    // bytes (the earlier record's own length is not consulted).
    if (!scanSerials.hasPrefixOf(record)) {
        ++uniqueCertificateCount;
    }
    scanSerials.insert(record);
    mqsCertificates.commitRecord(n);
    ++iCertificateCountTotal;
}

}  // namespace kestrune
