#include "inventory/state.h"

#include <exception>

namespace kestrune {

void KestruneState::resetScanCounters() {
    uniqueCertificateCount = 0;
    iCertificateCountTotal = 0;
    scanSerials.clear();
}

CertificateRecord* KestruneState::beginAppend() {
    const auto n = static_cast<std::size_t>(iCertificateCountTotal);
    try {
        if (currentFingerprints.size() <= n) {
            currentFingerprints.resize(n + 1);
        }
        if (currentOrigins.size() <= n) {
            currentOrigins.resize(n + 1);
        }
        if (currentTrust.size() <= n) {
            currentTrust.resize(n + 1);
        }
    } catch (const std::exception&) {  // bad_alloc: the scan ends as out of memory
        return nullptr;
    }
    currentFingerprints[n] = {};
    currentOrigins[n] = {};
    currentTrust[n].clear();
    return mqsCertificates.prepareRecord(n);
}

Fingerprint& KestruneState::appendedFingerprint() {
    return currentFingerprints[static_cast<std::size_t>(iCertificateCountTotal)];
}

CertificateOrigin& KestruneState::appendedOrigin() {
    return currentOrigins[static_cast<std::size_t>(iCertificateCountTotal)];
}

std::string& KestruneState::appendedTrust() {
    return currentTrust[static_cast<std::size_t>(iCertificateCountTotal)];
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
