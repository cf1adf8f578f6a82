#include "tests/support/fake_cert_store.h"

#include <algorithm>

namespace kestrune::testing {

FakeCert makeCert(std::string name, std::vector<std::uint8_t> serialMsbFirst,
                  std::uint8_t hashSeed) {
    FakeCert c;
    c.name = std::move(name);
    c.serialLE.assign(serialMsbFirst.rbegin(), serialMsbFirst.rend());
    for (std::uint8_t i = 0; i < 16; ++i) {
        c.subjectMd5.push_back(static_cast<std::uint8_t>(hashSeed * 31 + i));
    }
    // Stands in for the DER's hash: the same serial and subject give the same one.
    std::uint64_t h = 0xCBF29CE484222325ull ^ hashSeed;
    for (std::size_t i = 0; i < c.sha256.size(); ++i) {
        const std::uint8_t in = i < serialMsbFirst.size() ? serialMsbFirst[i] : 0;
        h = (h ^ in ^ (i << 8) ^ (serialMsbFirst.size() << 16)) * 0x100000001B3ull;
        c.sha256[i] = static_cast<std::uint8_t>(h >> 32);
    }
    c.sha256[0] |= 1;  // never the all-zero "not known"
    return c;
}

namespace {

class FakeCertificate final : public Certificate {
  public:
    explicit FakeCertificate(const FakeCert& c) : c_(c) {}
    bool simpleDisplayName(std::string& name) const override {
        if (c_.nameFails) {
            return false;
        }
        name = c_.name;
        return true;
    }
    bool subjectNameMd5(std::vector<std::uint8_t>& hash) const override {
        if (c_.propertyFails) {
            return false;
        }
        hash = c_.subjectMd5;
        return true;
    }
    std::vector<std::uint8_t> serialLittleEndian() const override { return c_.serialLE; }
    bool sha256(Fingerprint& digest) const override {
        digest = c_.sha256;
        return !c_.sha256Fails;
    }

  private:
    const FakeCert& c_;
};

class FakeOpenStore final : public OpenCertStore {
  public:
    FakeOpenStore(const FakeStore& s, std::function<void(const std::string&)> onEvent)
        : store_(s), onEvent_(std::move(onEvent)) {
        if (onEvent_) {
            onEvent_("open " + store_.name);
        }
    }
    ~FakeOpenStore() override {
        if (onEvent_) {
            onEvent_("close " + store_.name);
        }
    }
    const Certificate* next() override {
        if (store_.walkFailsAfter && index_ >= *store_.walkFailsAfter) {
            current_.reset();
            return nullptr;
        }
        if (index_ >= store_.certs.size()) {
            current_.reset();
            return nullptr;
        }
        current_ = std::make_unique<FakeCertificate>(store_.certs[index_++]);
        return current_.get();
    }

    std::string walkFailure() const override {
        return store_.walkFailsAfter && index_ >= *store_.walkFailsAfter ? "I/O error"
                                                                         : std::string();
    }

  private:
    const FakeStore& store_;
    std::function<void(const std::string&)> onEvent_;
    std::size_t index_ = 0;
    std::unique_ptr<FakeCertificate> current_;
};

}  // namespace

bool FakeCertStoreApi::enumerateLocations(std::uint32_t, const LocationCallback& callback) {
    if (locationsFail) {
        return false;
    }
    for (const auto& location : locations) {
        if (!callback(location.name, location.flags)) {
            break;
        }
    }
    return true;
}

bool FakeCertStoreApi::enumerateSystemStores(std::uint32_t flags, const void*,
                                             const StoreCallback& callback) {
    {
        std::lock_guard lock(mutex_);
        systemStoreFlags_.push_back(flags);
    }
    const auto it = std::find_if(locations.begin(), locations.end(), [&](const FakeLocation& l) {
        return (l.flags & kLocationMask) == (flags & kLocationMask);
    });
    if (it == locations.end() || it->storesFail) {
        return false;
    }
    for (const auto& store : it->stores) {
        const std::uint32_t storeFlags =
            (flags & kLocationMask) | (store.relocated ? kRelocateFlag : 0);
        if (!callback(StoreRef{store.hKey, store.name}, storeFlags)) {
            break;
        }
    }
    return true;
}

bool FakeCertStoreApi::enumeratePhysicalStores(const StoreRef& ref, std::uint32_t,
                                               const StoreCallback& callback,
                                               std::uint32_t& error) {
    for (const auto& location : locations) {
        for (const auto& store : location.stores) {
            if (store.name != ref.name) {
                continue;
            }
            if (store.physicalFails) {
                error = store.physicalError;
                return false;
            }
            for (const auto& p : store.physical) {
                if (!callback(StoreRef{store.hKey, p.name},
                              p.flags | (store.relocated ? kRelocateFlag : 0))) {
                    break;
                }
            }
            return true;
        }
    }
    error = kErrorFileNotFound;
    return false;
}

std::unique_ptr<OpenCertStore> FakeCertStoreApi::openStore(const std::string& name,
                                                           StoreError& error) {
    for (const auto& location : locations) {
        for (const auto& store : location.stores) {
            if (store.name == name) {
                if (store.absentOnOpen) {
                    error = StoreError{false, "no such store"};
                    return nullptr;
                }
                if (!store.opens) {
                    error = StoreError{true, "access denied"};
                    return nullptr;
                }
                return std::make_unique<FakeOpenStore>(store, onEvent);
            }
        }
    }
    error = StoreError{false, "no such store"};
    return nullptr;
}

std::vector<std::uint32_t> FakeCertStoreApi::systemStoreFlags() const {
    std::lock_guard lock(mutex_);
    return systemStoreFlags_;
}

}  // namespace kestrune::testing
