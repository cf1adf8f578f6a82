#include "platform/win32/crypt32_stores.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <exception>
#include <memory>

#include "inventory/c_handle.h"
#include "platform/win32/win32_text.h"

namespace kestrune {
namespace win32 {

namespace {

void closeStore(HCERTSTORE store) {
    CertCloseStore(store, 0);
}
using StoreHandle = CHandle<void, closeStore>;
using ContextHandle = CHandle<const CERT_CONTEXT, CertFreeCertificateContext>;

// One certificate of an open store; the store's walk owns the context.
class Crypt32Certificate final : public Certificate {
  public:
    void reset(const CERT_CONTEXT* context) { context_ = context; }

    bool simpleDisplayName(std::string& name) const override {
        wchar_t buffer[kNameBufferUnits] = {};
        const DWORD units = CertGetNameStringW(context_, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                               buffer, kNameBufferUnits);
        if (units == 0) {
            return false;
        }
        name = narrow(buffer, kNameBufferUnits);
        return true;
    }

    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override {
        BYTE buffer[kPropertyBufferBytes];
        DWORD size = sizeof buffer;
        if (!CertGetCertificateContextProperty(context_, kSubjectNameMd5PropId, buffer, &size)) {
            return false;
        }
        hash.assign(buffer, buffer + std::min<DWORD>(size, sizeof buffer));
        return true;
    }

    std::vector<std::uint8_t> serialLittleEndian() const override {
        const CRYPT_INTEGER_BLOB& serial = context_->pCertInfo->SerialNumber;
        if (serial.pbData == nullptr) {
            return {};
        }
        return std::vector<std::uint8_t>(serial.pbData, serial.pbData + serial.cbData);
    }

    // The store's cached SHA-256 property where it has one, else hashed from the DER.
    bool sha256(Fingerprint& digest) const override {
        DWORD size = static_cast<DWORD>(digest.size());
        if (CertGetCertificateContextProperty(context_, CERT_SHA256_HASH_PROP_ID, digest.data(),
                                              &size) &&
            size == digest.size()) {
            return true;
        }
        size = static_cast<DWORD>(digest.size());
        return context_->pbCertEncoded != nullptr &&
               CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, context_->pbCertEncoded,
                                     context_->cbCertEncoded, digest.data(), &size) &&
               size == digest.size();
    }

  private:
    const CERT_CONTEXT* context_ = nullptr;
};

class Crypt32OpenStore final : public OpenCertStore {
  public:
    explicit Crypt32OpenStore(StoreHandle store) : store_(std::move(store)) {}

    const Certificate* next() override {
        // A null context would start the walk over.
        if (ended_) {
            return nullptr;
        }
        // The enumeration frees the context it is given and returns the next one, so
        // ownership passes through it here and nowhere else.
        current_.reset(CertEnumCertificatesInStore(store_.get(), current_.release()));
        if (!current_) {
            ended_ = true;
            // The walk ends with CRYPT_E_NOT_FOUND; any other code stopped it early.
            const DWORD code = GetLastError();
            if (code != static_cast<DWORD>(CRYPT_E_NOT_FOUND) && code != ERROR_NO_MORE_FILES &&
                code != ERROR_SUCCESS) {
                failure_ = errorText(code);
            }
            return nullptr;
        }
        certificate_.reset(current_.get());
        return &certificate_;
    }

    std::string walkFailure() const override { return failure_; }

  private:
    // Declared in this order so the last context is freed before the store closes.
    StoreHandle store_;
    ContextHandle current_;
    Crypt32Certificate certificate_;
    bool ended_ = false;
    std::string failure_;
};

// What an enumeration hands its callbacks: the caller's callback, and an exception
// it threw, to be rethrown once the enumeration has returned (never through crypt32).
template <typename Callback>
struct EnumContext {
    const Callback& callback;
    std::exception_ptr failure;
};

template <typename Callback, typename Call>
BOOL callSafely(EnumContext<Callback>& context, Call&& call) {
    try {
        return call() ? TRUE : FALSE;
    } catch (...) {
        context.failure = std::current_exception();
        return FALSE;
    }
}

template <typename Callback>
void rethrowFailure(const EnumContext<Callback>& context) {
    if (context.failure) {
        std::rethrow_exception(context.failure);
    }
}

// The store an enumeration names: a name, or with the relocate flag a relocation record
// of key handle then name.
bool storeRefFrom(const void* systemStore, DWORD flags, StoreRef& ref) {
    if (systemStore == nullptr) {
        return false;
    }
    if (flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) {
        const auto* relocate = static_cast<const CERT_SYSTEM_STORE_RELOCATE_PARA*>(systemStore);
        ref.hKey = relocate->hKeyBase;
        ref.name = narrow(relocate->pwszSystemStore);
    } else {
        ref.hKey = nullptr;
        ref.name = narrow(static_cast<const wchar_t*>(systemStore));
    }
    return true;
}

// The enumeration callbacks return TRUE even on error, because FALSE stops the
// enumeration: an entry without a name is skipped, not the rest of the list.
BOOL WINAPI onLocation(LPCWSTR location, DWORD flags, void*, void* arg) {
    auto& context = *static_cast<EnumContext<CertStoreApi::LocationCallback>*>(arg);
    if (location == nullptr) {
        return TRUE;
    }
    return callSafely(context, [&] { return context.callback(narrow(location), flags); });
}

BOOL WINAPI onSystemStore(const void* systemStore, DWORD flags, PCERT_SYSTEM_STORE_INFO, void*,
                          void* arg) {
    auto& context = *static_cast<EnumContext<CertStoreApi::StoreCallback>*>(arg);
    StoreRef ref;
    if (!storeRefFrom(systemStore, flags, ref)) {
        return TRUE;
    }
    return callSafely(context, [&] { return context.callback(ref, flags); });
}

BOOL WINAPI onPhysicalStore(const void* systemStore, DWORD flags, LPCWSTR physicalName,
                            PCERT_PHYSICAL_STORE_INFO, void*, void* arg) {
    auto& context = *static_cast<EnumContext<CertStoreApi::StoreCallback>*>(arg);
    StoreRef ref;
    if (physicalName == nullptr) {
        return TRUE;
    }
    if ((flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) && systemStore != nullptr) {
        ref.hKey = static_cast<const CERT_SYSTEM_STORE_RELOCATE_PARA*>(systemStore)->hKeyBase;
    }
    ref.name = narrow(physicalName);
    return callSafely(context, [&] { return context.callback(ref, flags); });
}

}  // namespace

const std::vector<StoreLocation>& predefinedStoreLocations() {
    static const std::vector<StoreLocation> locations = {
        {"CurrentUser", CERT_SYSTEM_STORE_CURRENT_USER_ID},
        {"LocalMachine", CERT_SYSTEM_STORE_LOCAL_MACHINE_ID},
        {"CurrentService", CERT_SYSTEM_STORE_CURRENT_SERVICE_ID},
        {"Services", CERT_SYSTEM_STORE_SERVICES_ID},
        {"Users", CERT_SYSTEM_STORE_USERS_ID},
        {"CurrentUserGroupPolicy", CERT_SYSTEM_STORE_CURRENT_USER_GROUP_POLICY_ID},
        {"LocalMachineGroupPolicy", CERT_SYSTEM_STORE_LOCAL_MACHINE_GROUP_POLICY_ID},
        {"LocalMachineEnterprise", CERT_SYSTEM_STORE_LOCAL_MACHINE_ENTERPRISE_ID},
    };
    return locations;
}

bool Crypt32StoreApi::enumerateLocations(std::uint32_t flags, const LocationCallback& callback) {
    if (listPredefinedLocations_) {
        for (const StoreLocation& location : predefinedStoreLocations()) {
            if (!callback(location.name, location.id << CERT_SYSTEM_STORE_LOCATION_SHIFT)) {
                break;
            }
        }
        return true;
    }
    EnumContext<LocationCallback> context{callback, nullptr};
    const BOOL ok = CertEnumSystemStoreLocation(flags, &context, onLocation);
    rethrowFailure(context);
    return ok != FALSE;
}

bool Crypt32StoreApi::enumerateSystemStores(std::uint32_t flags, const void* locationParameter,
                                            const StoreCallback& callback) {
    EnumContext<StoreCallback> context{callback, nullptr};
    SetLastError(ERROR_SUCCESS);
    const BOOL ok =
        CertEnumSystemStore(flags, const_cast<void*>(locationParameter), &context, onSystemStore);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    rethrowFailure(context);
    // A location whose stores were never registered (no key for it) has none: that is an
    // empty location, not one whose stores could not be listed.
    return ok != FALSE || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool Crypt32StoreApi::enumeratePhysicalStores(const StoreRef& store, std::uint32_t flags,
                                              const StoreCallback& callback, std::uint32_t& error) {
    const std::wstring name = widen(store.name);
    CERT_SYSTEM_STORE_RELOCATE_PARA relocate = {};
    const void* systemStore = name.c_str();
    if (flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) {
        relocate.hKeyBase = static_cast<HKEY>(const_cast<void*>(store.hKey));
        relocate.pwszSystemStore = name.c_str();
        systemStore = &relocate;
    }
    EnumContext<StoreCallback> context{callback, nullptr};
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = CertEnumPhysicalStore(systemStore, flags, &context, onPhysicalStore);
    error = ok ? 0 : GetLastError();
    rethrowFailure(context);
    return ok != FALSE;
}

std::unique_ptr<OpenCertStore> Crypt32StoreApi::openStore(const std::string& name,
                                                          StoreError& error) {
    // No provider and no location: the store opens in the default (current user)
    // context, whichever location is being enumerated.
    StoreHandle store(CertOpenSystemStoreW(0, widen(name).c_str()));
    if (!store) {
        const DWORD code = GetLastError();
        // The store was just listed, so only "not found" means it is gone; anything else
        // (access denied, a broken registry key or file) leaves it unread.
        error = StoreError{code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND,
                           errorText(code)};
        return nullptr;
    }
    return std::make_unique<Crypt32OpenStore>(std::move(store));
}

}  // namespace win32

}  // namespace kestrune
