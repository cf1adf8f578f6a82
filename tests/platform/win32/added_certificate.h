// The test certificate added to a current-user store for the life of an object.
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tests/support/test_certificate.h"

namespace kestrune::testing {

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using StoreHandle = std::unique_ptr<void, StoreCloser>;

class AddedCertificate {
  public:
    explicit AddedCertificate(const wchar_t* storeName)
        : AddedCertificate(storeName, test_certificate::kDer, sizeof test_certificate::kDer) {}
    // Any DER; the store checks no signature.
    AddedCertificate(const wchar_t* storeName, const std::uint8_t* der, std::size_t size)
        : store_(CertOpenSystemStoreW(0, storeName)) {
        if (!store_) {
            return;
        }
        PCCERT_CONTEXT added = nullptr;
        added_ = CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, der,
                                                  static_cast<DWORD>(size),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &added) != 0;
        // Wine keeps a registry store's changes until it is committed or closed.
        added_ = added_ && CertControlStore(store_.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
        removeContext_ = added;
    }
    AddedCertificate(const AddedCertificate&) = delete;
    AddedCertificate& operator=(const AddedCertificate&) = delete;
    ~AddedCertificate() {
        if (removeContext_ != nullptr) {
            CertDeleteCertificateFromStore(removeContext_);  // frees the context too
            CertControlStore(store_.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
        }
    }
    bool ok() const { return added_; }

  private:
    StoreHandle store_;
    bool added_ = false;
    PCCERT_CONTEXT removeContext_ = nullptr;
};

}  // namespace kestrune::testing
