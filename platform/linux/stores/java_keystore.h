// Java keystores as certificate stores: the JVM's cacerts and any keystore an admin
// points the program at. JKS and JCEKS files are read from their own layout; PKCS#12
// files through OpenSSL. The private keys in them are never decrypted: only their
// certificates are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/result.h"
#include "inventory/trace.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"

namespace kestrune {

// The password the JVM's cacerts ships with, tried when no other is known.
inline constexpr char kDefaultKeystorePassword[] = "changeit";
// A keystore is read whole; the JVM's cacerts is a few hundred KiB.
inline constexpr std::size_t kMaxKeystoreBytes = std::size_t{32} << 20;

enum class KeystoreFormat { Jks, Jceks, Pkcs12 };
enum class KeystoreEntryKind { TrustedCertificate, PrivateKeyChain };

// One certificate of a keystore. A private key's chain gives one entry per certificate,
// all under the key's alias.
struct KeystoreEntry {
    std::string alias;  // UTF-8; empty when a PKCS#12 bag names none
    std::vector<std::uint8_t> der;
    KeystoreEntryKind kind = KeystoreEntryKind::TrustedCertificate;
};

struct Keystore {
    KeystoreFormat format = KeystoreFormat::Jks;
    std::vector<KeystoreEntry> entries;
    // False when the certificates were read without checking the keystore's digest or
    // MAC; `unchecked` then says why.
    bool integrityChecked = false;
    std::string unchecked;
};

// The certificates of a keystore file's bytes, or why it cannot be read (not a keystore,
// cut short, altered, a password that does not open it).
//
// `password`: the keystore's password when known. A keystore that does not verify under
// it is refused as altered. When none is known, "changeit" is tried: a JKS or JCEKS file
// that does not verify under it is still read, unchecked (its certificates are not
// encrypted); a PKCS#12 file whose MAC does not verify cannot be read.
Result<Keystore> readJavaKeystore(std::string_view bytes,
                                  const std::optional<std::string>& password = std::nullopt);

// One keystore file under the root as a System store named `name`. Every certificate in
// it is yielded, trusted ones and private-key chains alike. No file there: an absent
// store; a file that cannot be read as a keystore: an unreadable one. A keystore read
// without its integrity checked is said on the trace's error stream.
class KeystoreStore final : public StoreSource {
  public:
    KeystoreStore(std::string name, std::string machinePath, const RootDir& root, Trace& trace,
                  std::optional<std::string> password = std::nullopt,
                  const FileCalls& calls = systemFileCalls());

    const std::string& name() const override { return name_; }
    LinuxLocation location() const override { return LinuxLocation::System; }
    std::vector<std::string> sources() const override;
    Result<std::unique_ptr<OpenCertStore>, StoreError> open() const override;

  private:
    std::string name_;
    std::string machinePath_;
    const RootDir& root_;
    Trace& trace_;
    std::optional<std::string> password_;
    const FileCalls& calls_;
};

}  // namespace kestrune
