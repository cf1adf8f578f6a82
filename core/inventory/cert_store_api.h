// What the scanner needs of the platform's certificate stores, no wider: enumerate
// locations, system stores of a location and physical stores of a store through
// callbacks that return "go on"; open a store by name; walk its certificates; and per
// certificate the simple display name, the subject-name MD5 property, the serial as
// the platform's little-endian blob and the SHA-256 of its DER.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inventory/fingerprint.h"

namespace kestrune {

// Flags words: location in bits 16 to 23, relocate flag in bit 31.
inline constexpr std::uint32_t kCertSystemStoreCurrentUser = 0x10000;  // location 1 << 16
inline constexpr std::uint32_t kLocationMask = 0x00FF0000;
inline constexpr std::uint32_t kLowWordMask = 0x0000FFFF;
inline constexpr std::uint32_t kRelocateFlag = 0x80000000;
inline constexpr std::uint32_t kPhysicalImplicitlyCreated = 0x1;

// Error codes after which a failed physical-store enumeration is not reported.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorNotSupported = 50;

// Property 29: the MD5 hash of the subject name.
inline constexpr std::uint32_t kSubjectNameMd5PropId = 29;
inline constexpr std::size_t kNameBufferUnits = 128;  // the display-name buffer
inline constexpr std::size_t kPropertyBufferBytes = 1024;

// A store as an enumeration hands it over: by name, or, with the relocate flag set in
// the flags word, a relocation record of key handle then name.
struct StoreRef {
    const void* hKey = nullptr;
    std::string name;  // UTF-8
};

class Certificate {
  public:
    virtual ~Certificate() = default;
    // The simple display name (UTF-8), at most kNameBufferUnits - 1 UTF-16 units.
    virtual bool simpleDisplayName(std::string& name) const = 0;
    // Property 29 (at most kPropertyBufferBytes bytes).
    virtual bool subjectNameMd5(std::vector<std::uint8_t>& hash) const = 0;
    // The serial number as the platform's integer blob, least significant byte first.
    virtual std::vector<std::uint8_t> serialLittleEndian() const = 0;
    // The SHA-256 of the certificate's DER. False when the platform cannot give it; the
    // record is then compared by serial and subject alone.
    virtual bool sha256(Fingerprint& /*digest*/) const { return false; }
    // The trust settings stored with the certificate, in the store's own encoding (a PEM
    // "TRUSTED CERTIFICATE": the bytes of its trust and reject lists); empty where the
    // store keeps none. Outside the record, so a change of trust can be told apart.
    virtual std::vector<std::uint8_t> trustSettings() const { return {}; }
};

// Why a store gave no certificates this time. An absent store has none (its certificates
// are gone); an unreadable one exists but could not be read, so nothing is known of it.
struct StoreError {
    bool unreadable = false;
    std::string why;
};

// An open store; closing it is the destructor's job.
class OpenCertStore {
  public:
    virtual ~OpenCertStore() = default;
    // The next certificate in enumeration order, or null at the end. The pointer stays
    // valid until the next call or until the store is closed.
    virtual const Certificate* next() = 0;
    // After next() returned null: why the walk stopped before the end, or empty when it
    // reached the end. A walk that failed leaves the store unreadable for this scan.
    virtual std::string walkFailure() const { return {}; }
};

class CertStoreApi {
  public:
    using LocationCallback = std::function<bool(const std::string& location, std::uint32_t flags)>;
    using StoreCallback = std::function<bool(const StoreRef& store, std::uint32_t flags)>;

    virtual ~CertStoreApi() = default;

    // Each enumeration calls back once per item and goes on while the callback returns
    // true. They return false when the enumeration itself failed; `error` then holds
    // the platform's error code.
    virtual bool enumerateLocations(std::uint32_t flags, const LocationCallback& callback) = 0;
    virtual bool enumerateSystemStores(std::uint32_t flags, const void* locationParameter,
                                       const StoreCallback& callback) = 0;
    virtual bool enumeratePhysicalStores(const StoreRef& store, std::uint32_t flags,
                                         const StoreCallback& callback, std::uint32_t& error) = 0;

    // Opens a system store by name alone, in the platform's default context. Null
    // when it cannot be opened; `error` then says whether the store is absent or exists
    // but cannot be read, and why.
    virtual std::unique_ptr<OpenCertStore> openStore(const std::string& name,
                                                     StoreError& error) = 0;
};

}  // namespace kestrune
