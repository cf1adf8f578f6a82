// The certificate stores as the scanner sees them: locations and their stores, each store
// opened by name, and its certificates as plain facts. Each platform keeps its own way of
// finding them (crypt32's walk, the Linux trust sources, an in-memory list in tests).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "inventory/fingerprint.h"
#include "inventory/origin.h"
#include "inventory/result.h"

namespace kestrune {

// One certificate as its store holds it. The facts a platform can fail to read say why;
// the scanner skips such a certificate.
struct CertificateFacts {
    // The simple display name (UTF-8), at most 127 UTF-16 units.
    Result<std::string> displayName{fail("not read")};
    // The MD5 hash of the subject name.
    Result<std::vector<std::uint8_t>> subjectNameHash{fail("not read")};
    // The serial number, least significant byte first.
    std::vector<std::uint8_t> serialLittleEndian;
    // The SHA-256 of the DER; unknown, the record is compared by serial and subject alone.
    std::optional<Fingerprint> sha256;
    // The trust settings stored with the certificate, in the store's own encoding (a PEM
    // "TRUSTED CERTIFICATE": the bytes of its trust and reject lists); empty where the
    // store keeps none. Outside the record, so a change of trust can be told apart.
    std::vector<std::uint8_t> trustSettings;
    // The trust the store gives the certificate, as a person reads it ("CT,C,C",
    // "trusted for serverAuth; rejected for emailProtection", "blocklisted"); empty where
    // the store says nothing beyond holding it. Compared between scans, so a widened or
    // narrowed trust is a change even when the certificate itself stays.
    std::string trust;
    // The certificate itself, where the platform hands it out.
    std::vector<std::uint8_t> der;
    // Where it comes from, where the platform can tell.
    CertificateOrigin origin;
};

// The certificates of an open store in enumeration order; closing is the destructor's job.
class StoreReader {
  public:
    virtual ~StoreReader() = default;
    // Moves to the next certificate: true when there is one, false at the end, an error
    // when the walk stopped before the end (the store is then unreadable for this scan).
    virtual Result<bool> next() = 0;
    // The facts of the certificate next() moved to. They are read when asked for, so a
    // certificate the scanner never asks about costs no platform call.
    virtual CertificateFacts facts() = 0;
};

// Opening a store by name: a reader, or why not. An absent store has no certificates (they
// are gone); an unreadable one exists but could not be read, so nothing is known of it.
class [[nodiscard]] OpenedStore {
  public:
    OpenedStore(std::unique_ptr<StoreReader> reader) : reader_(std::move(reader)) {}
    static OpenedStore absent(std::string reason) { return {false, std::move(reason)}; }
    static OpenedStore unreadable(std::string reason) { return {true, std::move(reason)}; }

    bool ok() const { return reader_ != nullptr; }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    StoreReader& reader() { return *reader_; }
    // Closes the store now rather than when the outcome goes.
    void close() { reader_.reset(); }
    // Only when !ok().
    bool unreadable() const { return unreadable_; }
    const std::string& error() const { return reason_; }

  private:
    OpenedStore(bool unreadable, std::string reason)
        : unreadable_(unreadable), reason_(std::move(reason)) {}

    std::unique_ptr<StoreReader> reader_;
    bool unreadable_ = false;
    std::string reason_;
};

// What a catalogue tells while it lists its stores.
class CatalogueVisitor {
  public:
    virtual ~CatalogueVisitor() = default;
    // A location begins; its stores follow.
    virtual void location(const std::string& name) = 0;
    // The stores of the location just begun could not be listed.
    virtual void storesUnlisted() = 0;
    // A store of the location just begun (or of the current user, when those are listed
    // alone). False stops the listing at once.
    virtual bool store(const std::string& name) = 0;
};

class StoreCatalogue {
  public:
    virtual ~StoreCatalogue() = default;
    // Every location, each followed by its stores. An error when the locations themselves
    // could not be listed.
    virtual Status listLocations(CatalogueVisitor& visitor) = 0;
    // The current user's stores alone, with no location before them. An error when they
    // could not be listed.
    virtual Status listCurrentUserStores(CatalogueVisitor& visitor) = 0;
    // Opens a store by name alone, in the platform's default (current user) context.
    virtual OpenedStore openStore(const std::string& name) = 0;

    // The package version changes the platform's package manager recorded, oldest first;
    // none where it keeps no such record. Read once per scan.
    virtual std::vector<PackageChange> packageChanges() { return {}; }
    // Where a certificate no longer in a store came from, as far as the store's sources
    // still tell: one gone from a generated bundle but still in a source file was taken
    // out of the bundle directly. Unknown where nothing tells.
    virtual CertificateOrigin originOfMissing(const std::string& /*store*/,
                                              const Fingerprint& /*sha256*/) {
        return {};
    }
};

}  // namespace kestrune
