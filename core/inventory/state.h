// Process-wide state of the program in one struct. main owns the only long-lived
// instance; tests make their own. Member names are the product's own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "inventory/certificate_identity.h"
#include "inventory/fingerprint.h"
#include "inventory/origin.h"
#include "inventory/record_table.h"

namespace kestrune {

// A store's trust text is kept (and stored with the baseline) up to this many bytes.
inline constexpr std::size_t kTrustTextBytes = 1024;

struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool operator==(const LocalTime&) const = default;
};

struct KestruneState {
    RecordTable mqsCertificates;          // the latest scan
    RecordTable mqsCertificatesRegistry;  // the stored baseline
    // Atomic so the tray can read a partial count while a scan runs on another thread.
    std::atomic<std::int32_t> iCertificateCountTotal{0};
    std::atomic<std::int32_t> iCertificateCountTotal_Registry{0};
    std::atomic<std::int32_t> uniqueCertificateCount{0};
    LocalTime lastScanTime{};  // all zero until the first scan cycle
    // Scan-scoped names copied into each record (UTF-8; cut to 255 units like the
    // 256-unit buffers they model).
    std::string currentLocationName;
    std::string currentStoreName;
    // Each record's fingerprint, index for index with the table beside it (entries past
    // the table's count mean nothing). The baseline's is empty when the stored baseline
    // holds none that fit its records; comparisons then fall back to serial and subject.
    std::vector<Fingerprint> currentFingerprints;
    std::vector<Fingerprint> baselineFingerprints;
    // Where each record of the latest scan comes from, index for index like its
    // fingerprints (the stored baseline keeps no origins: a certificate's origin is what
    // its files say now).
    std::vector<CertificateOrigin> currentOrigins;
    // The trust each store gives each record, index for index like its fingerprints
    // (empty text where a store says nothing). The baseline's is empty when the stored
    // baseline holds none that fit its records: trust is then not compared.
    std::vector<std::string> currentTrust;
    std::vector<std::string> baselineTrust;
    // Serials of the current scan, for the unique count.
    SerialPrefixIndex scanSerials;

    // Reset for a new scan: counters to zero, table memory kept and overwritten.
    void resetScanCounters();
    // Appends one record at index iCertificateCountTotal: grows the table, zeroes the
    // record and its fingerprint slot and returns it for the scanner to fill (null when
    // memory runs out).
    // commitAppendedRecord runs the unique count on it and increments
    // iCertificateCountTotal.
    CertificateRecord* beginAppend();
    void commitAppendedRecord();
    // The fingerprint slot of the record beginAppend returned.
    Fingerprint& appendedFingerprint();
    CertificateOrigin& appendedOrigin();
    std::string& appendedTrust();
};

}  // namespace kestrune
