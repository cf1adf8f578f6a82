#include "platform/win32/stores/crypt32_stores.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>

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

// The display-name buffer's units and the property buffer's bytes.
constexpr DWORD kNameBufferUnits = 128;
constexpr DWORD kPropertyBufferBytes = 1024;

// The store's cached SHA-256 property where it has one, else hashed from the DER.
std::optional<Fingerprint> sha256Of(const CERT_CONTEXT* context) {
    Fingerprint digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (CertGetCertificateContextProperty(context, CERT_SHA256_HASH_PROP_ID, digest.data(),
                                          &size) &&
        size == digest.size()) {
        return digest;
    }
    size = static_cast<DWORD>(digest.size());
    if (context->pbCertEncoded != nullptr &&
        CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, context->pbCertEncoded,
                              context->cbCertEncoded, digest.data(), &size) &&
        size == digest.size()) {
        return digest;
    }
    return std::nullopt;
}

// The facts of one certificate, read in this order and nothing past a fact that failed:
// the scanner skips such a certificate, so crypt32 is asked no more about it.
CertificateFacts factsOf(const CERT_CONTEXT* context) {
    CertificateFacts facts;
    wchar_t name[kNameBufferUnits] = {};
    if (CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                           kNameBufferUnits) == 0) {
        facts.displayName = fail(errorText(GetLastError()));
        return facts;
    }
    facts.displayName = narrow(name, kNameBufferUnits);

    BYTE hash[kPropertyBufferBytes];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(context, CERT_SUBJECT_NAME_MD5_HASH_PROP_ID, hash,
                                           &size)) {
        facts.subjectNameHash = fail(errorText(GetLastError()));
        return facts;
    }
    facts.subjectNameHash =
        std::vector<std::uint8_t>(hash, hash + std::min<DWORD>(size, sizeof hash));

    const CRYPT_INTEGER_BLOB& serial = context->pCertInfo->SerialNumber;
    if (serial.pbData != nullptr) {
        facts.serialLittleEndian.assign(serial.pbData, serial.pbData + serial.cbData);
    }
    facts.sha256 = sha256Of(context);
    if (context->pbCertEncoded != nullptr) {
        facts.der.assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    }
    return facts;
}

class Crypt32Reader final : public StoreReader {
  public:
    explicit Crypt32Reader(StoreHandle store) : store_(std::move(store)) {}

    Result<bool> next() override {
        // A null context would start the walk over.
        if (ended_) {
            return false;
        }
        // The enumeration frees the context it is given and returns the next one, so
        // ownership passes through it here and nowhere else.
        current_.reset(CertEnumCertificatesInStore(store_.get(), current_.release()));
        if (current_) {
            return true;
        }
        ended_ = true;
        // The walk ends with CRYPT_E_NOT_FOUND; any other code stopped it early.
        const DWORD code = GetLastError();
        if (code != static_cast<DWORD>(CRYPT_E_NOT_FOUND) && code != ERROR_NO_MORE_FILES &&
            code != ERROR_SUCCESS) {
            return fail(errorText(code));
        }
        return false;
    }

    CertificateFacts facts() override { return factsOf(current_.get()); }

  private:
    // Declared in this order so the last context is freed before the store closes.
    StoreHandle store_;
    ContextHandle current_;
    bool ended_ = false;
};

// What an enumeration hands its callbacks, and an exception one of them threw, to be
// rethrown once the enumeration has returned (never through crypt32).
struct EnumContext {
    Crypt32StoreCatalogue& catalogue;
    CatalogueVisitor& visitor;
    const WalkArg& arg;
    Trace& trace;
    std::exception_ptr failure;
};

template <typename Call>
BOOL callSafely(EnumContext& context, Call&& call) {
    try {
        return call() ? TRUE : FALSE;
    } catch (...) {
        context.failure = std::current_exception();
        return FALSE;
    }
}

void rethrowFailure(const EnumContext& context) {
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
    auto& context = *static_cast<EnumContext*>(arg);
    if (location == nullptr) {
        return TRUE;
    }
    return callSafely(context, [&] {
        return context.catalogue.onLocation(context.visitor, narrow(location), flags);
    });
}

BOOL WINAPI onSystemStore(const void* systemStore, DWORD flags, PCERT_SYSTEM_STORE_INFO, void*,
                          void* arg) {
    auto& context = *static_cast<EnumContext*>(arg);
    StoreRef ref;
    if (!storeRefFrom(systemStore, flags, ref)) {
        return TRUE;
    }
    return callSafely(context,
                      [&] { return context.catalogue.onSystemStore(context.visitor, ref, flags); });
}

BOOL WINAPI onPhysicalStore(const void* systemStore, DWORD flags, LPCWSTR physicalName,
                            PCERT_PHYSICAL_STORE_INFO, void*, void* arg) {
    auto& context = *static_cast<EnumContext*>(arg);
    StoreRef ref;
    if (physicalName == nullptr) {
        return TRUE;
    }
    if ((flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) && systemStore != nullptr) {
        ref.hKey = static_cast<const CERT_SYSTEM_STORE_RELOCATE_PARA*>(systemStore)->hKeyBase;
    }
    ref.name = narrow(physicalName);
    return callSafely(context, [&] {
        walk::tracePhysicalStore(context.arg, ref, flags, context.trace);
        return true;
    });
}

}  // namespace

namespace walk {

std::uint32_t systemStoreFlags(const WalkArg& arg, std::uint32_t locationFlags) {
    return (arg.flags & ~kLocationMask) | (locationFlags & ~kLowWordMask);
}

std::uint32_t physicalStoreFlags(const WalkArg& arg, std::uint32_t storeFlags) {
    return (storeFlags & ~kLowWordMask) | (arg.flags & kLowWordMask);
}

std::optional<std::string> checkedName(const WalkArg& arg, const StoreRef& store,
                                       std::uint32_t flags, Trace& trace) {
    if (arg.hKeyBase != nullptr && (flags & kRelocateFlag) == 0) {
        trace.out("Failed => RELOCATE_FLAG not set in callback. \n");
        return std::nullopt;
    }
    if (flags & kRelocateFlag) {
        if (arg.hKeyBase == nullptr) {
            trace.out("Failed => RELOCATE_FLAG is set in callback");
        } else if (store.hKey != arg.hKeyBase) {
            trace.out("Wrong hKeyBase passed to callback");
        }
    }
    return store.name;
}

bool physicalFailureIsTold(std::uint32_t error) {
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_NOT_SUPPORTED;
}

void tracePhysicalStore(const WalkArg& arg, const StoreRef& store, std::uint32_t flags,
                        Trace& trace) {
    const std::optional<std::string> name = checkedName(arg, store, flags, trace);
    if (!name) {
        trace.out("GetSystemName failed.");
        return;
    }
    trace.outf("    %s", name->c_str());
    if (arg.verbose && (flags & kPhysicalImplicitlyCreated)) {
        trace.out(" (implicitly created)");
    }
    trace.out("\n");
}

}  // namespace walk

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

Status Crypt32StoreCatalogue::listLocations(CatalogueVisitor& visitor) {
    stopped_ = false;
    if (listPredefinedLocations_) {
        for (const StoreLocation& location : predefinedStoreLocations()) {
            if (!onLocation(visitor, location.name,
                            location.id << CERT_SYSTEM_STORE_LOCATION_SHIFT)) {
                break;
            }
        }
        return {};
    }
    EnumContext context{*this, visitor, arg_, trace_, nullptr};
    const BOOL ok = CertEnumSystemStoreLocation(kCurrentUserFlags, &context, win32::onLocation);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    rethrowFailure(context);
    if (!ok) {
        return fail(errorText(error));
    }
    return {};
}

Status Crypt32StoreCatalogue::listCurrentUserStores(CatalogueVisitor& visitor) {
    stopped_ = false;
    if (!listSystemStores(visitor, kCurrentUserFlags, nullptr)) {
        return fail("the current user's stores could not be listed");
    }
    return {};
}

bool Crypt32StoreCatalogue::onLocation(CatalogueVisitor& visitor, const std::string& name,
                                       std::uint32_t flags) {
    visitor.location(name);
    if (arg_.enumerateAll) {
        const bool listed =
            listSystemStores(visitor, walk::systemStoreFlags(arg_, flags), arg_.locationParameter);
        if (!listed && !stopped_) {
            visitor.storesUnlisted();
        }
    }
    return !stopped_;
}

bool Crypt32StoreCatalogue::onSystemStore(CatalogueVisitor& visitor, const StoreRef& store,
                                          std::uint32_t flags) {
    if (const std::optional<std::string> name = walk::checkedName(arg_, store, flags, trace_)) {
        stopped_ = !visitor.store(*name);
    } else {
        trace_.out("GetSystemName failed.");
    }
    // Physical stores are listed for the trace only.
    if (!stopped_ && (arg_.enumerateAll || arg_.verbose)) {
        listPhysicalStores(store, walk::physicalStoreFlags(arg_, flags));
    }
    return !stopped_;
}

bool Crypt32StoreCatalogue::listSystemStores(CatalogueVisitor& visitor, std::uint32_t flags,
                                             const void* locationParameter) {
    EnumContext context{*this, visitor, arg_, trace_, nullptr};
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = CertEnumSystemStore(flags, const_cast<void*>(locationParameter), &context,
                                        win32::onSystemStore);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    rethrowFailure(context);
    // A location whose stores were never registered (no key for it) has none: that is an
    // empty location, not one whose stores could not be listed.
    return ok != FALSE || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void Crypt32StoreCatalogue::listPhysicalStores(const StoreRef& store, std::uint32_t flags) {
    const std::wstring name = widen(store.name);
    CERT_SYSTEM_STORE_RELOCATE_PARA relocate = {};
    const void* systemStore = name.c_str();
    if (flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) {
        relocate.hKeyBase = static_cast<HKEY>(const_cast<void*>(store.hKey));
        relocate.pwszSystemStore = name.c_str();
        systemStore = &relocate;
    }
    // The physical-store callback never calls the visitor.
    struct : CatalogueVisitor {
        void location(const std::string&) override {}
        void storesUnlisted() override {}
        bool store(const std::string&) override { return true; }
    } none;
    EnumContext context{*this, none, arg_, trace_, nullptr};
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = CertEnumPhysicalStore(systemStore, flags, &context, win32::onPhysicalStore);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    rethrowFailure(context);
    if (!ok && walk::physicalFailureIsTold(error)) {
        trace_.out("    CertEnumPhysicalStore");
    }
}

OpenedStore Crypt32StoreCatalogue::openStore(const std::string& name) {
    // No provider and no location: the store opens in the default (current user)
    // context, whichever location is being enumerated.
    StoreHandle store(CertOpenSystemStoreW(0, widen(name).c_str()));
    if (!store) {
        const DWORD code = GetLastError();
        // The store was just listed, so only "not found" means it is gone; anything else
        // (access denied, a broken registry key or file) leaves it unread.
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return OpenedStore::absent(errorText(code));
        }
        return OpenedStore::unreadable(errorText(code));
    }
    return OpenedStore(std::make_unique<Crypt32Reader>(std::move(store)));
}

}  // namespace win32

}  // namespace kestrune
