// One Linux store as the catalogue lists it: a trust-store file or folder set, or a
// certificate database; and how its certificates are read. The catalogue finds its stores
// afresh for every scan (once, however many stores there are), so a profile or folder that
// appears while the program runs is seen by the next scan.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/fingerprint.h"
#include "inventory/result.h"

namespace kestrune {

enum class LinuxLocation { System, CurrentUser, Applications };
inline constexpr char kLinuxCurrentUserName[] = "CurrentUser";
inline constexpr char kLinuxSystemName[] = "System";
// The stores applications keep for themselves (Java keystores, certifi bundles).
inline constexpr char kLinuxApplicationsName[] = "Applications";
// Display names are cut as the Windows program's 128-unit name buffer cuts them.
inline constexpr std::size_t kNameBufferUnits = 128;

// One certificate of a Linux store, each field read when asked for.
class Certificate {
  public:
    virtual ~Certificate() = default;
    // The simple display name (UTF-8), at most 127 UTF-16 units.
    virtual bool simpleDisplayName(std::string& name) const = 0;
    // The MD5 hash of the DER subject name.
    virtual bool subjectNameMd5(std::vector<std::uint8_t>& hash) const = 0;
    // The serial number, least significant byte first.
    virtual std::vector<std::uint8_t> serialLittleEndian() const = 0;
    // The SHA-256 of the certificate's DER; false when it cannot be computed.
    virtual bool sha256(Fingerprint& /*digest*/) const { return false; }
    // The trust settings stored with the certificate (a PEM "TRUSTED CERTIFICATE": the
    // bytes of its trust and reject lists); empty where the store keeps none.
    virtual std::vector<std::uint8_t> trustSettings() const { return {}; }
    // The trust the store gives it, as a person reads it; empty where it says nothing.
    virtual std::string trust() const { return {}; }
    // The certificate's DER alone (no trust settings after it); empty when not at hand.
    virtual std::vector<std::uint8_t> der() const { return {}; }
};

// Why a store could not be opened: absent (no certificates), or unreadable.
struct StoreError {
    bool unreadable = false;
    std::string message;
};

// An open Linux store; closing it is the destructor's job.
class OpenCertStore {
  public:
    virtual ~OpenCertStore() = default;
    // The next certificate, or null at the end. Valid until the next call.
    virtual const Certificate* next() = 0;
    // After next() returned null: why the walk stopped before the end, or empty.
    virtual std::string walkFailure() const { return {}; }
    // The file (a real path) the certificate next() returned was read from; empty where
    // no single file holds it.
    virtual std::string currentFile() const { return {}; }
    // The PEM block of the certificate next() returned, as its file holds it (BEGIN to
    // END line); empty where it was not read from PEM. Valid until the next call of next().
    virtual std::string_view currentText() const { return {}; }
};

class StoreSource {
  public:
    virtual ~StoreSource() = default;
    virtual const std::string& name() const = 0;
    virtual LinuxLocation location() const = 0;
    // The files and folders the store is made of, for the trace.
    virtual std::vector<std::string> sources() const = 0;
    // The open store, or why it is absent or cannot be read at all.
    virtual Result<std::unique_ptr<OpenCertStore>, StoreError> open() const = 0;
    // Whether the store is a bundle generated from source files elsewhere: its
    // certificates come from those files, not from the bundle itself.
    virtual bool generated() const { return false; }
};

using StoreSources = std::vector<std::unique_ptr<StoreSource>>;

}  // namespace kestrune
