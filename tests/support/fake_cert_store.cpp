#include "tests/support/fake_cert_store.h"

#include <algorithm>

#include "tests/support/record_builder.h"

namespace kestrune::testing {

FakeCert makeCert(std::string name, std::vector<std::uint8_t> serialMsbFirst,
                  std::uint8_t hashSeed) {
    FakeCert c;
    c.name = std::move(name);
    c.serialLE.assign(serialMsbFirst.rbegin(), serialMsbFirst.rend());
    c.subjectMd5 = byteRun(static_cast<std::uint8_t>(hashSeed * 31));
    // Stands in for the DER's hash: the same serial and subject give the same one.
    // The seed is mixed in before the serial, so a seed and a serial byte cannot cancel out.
    std::uint64_t h = (0xCBF29CE484222325ull ^ hashSeed) * 0x100000001B3ull;
    for (std::size_t i = 0; i < c.sha256.size(); ++i) {
        const std::uint8_t in = i < serialMsbFirst.size() ? serialMsbFirst[i] : 0;
        h = (h ^ in ^ (i << 8) ^ (serialMsbFirst.size() << 16)) * 0x100000001B3ull;
        c.sha256[i] = static_cast<std::uint8_t>(h >> 32);
    }
    c.sha256[0] |= 1;  // never the all-zero "not known"
    return c;
}

namespace {

CertificateFacts factsOf(const FakeCert& c) {
    CertificateFacts facts;
    if (!c.nameFails) {
        facts.displayName = c.name;
    }
    if (!c.propertyFails) {
        facts.subjectNameHash = c.subjectMd5;
    }
    facts.serialLittleEndian = c.serialLE;
    if (!c.sha256Fails) {
        facts.sha256 = c.sha256;
    }
    facts.origin = c.origin;
    facts.trust = c.trust;
    return facts;
}

class FakeReader final : public StoreReader {
  public:
    FakeReader(const FakeStore& s, FakeStoreCatalogue& catalogue)
        : store_(s), catalogue_(catalogue) {
        if (catalogue_.onEvent) {
            catalogue_.onEvent("open " + store_.name);
        }
    }
    ~FakeReader() override {
        if (catalogue_.onEvent) {
            catalogue_.onEvent("close " + store_.name);
        }
    }
    Result<bool> next() override {
        if (store_.walkFailsAfter && next_ >= *store_.walkFailsAfter) {
            return fail("I/O error");
        }
        if (next_ >= store_.certs.size()) {
            return false;
        }
        current_ = &store_.certs[next_++];
        return true;
    }
    CertificateFacts facts() override {
        ++catalogue_.factsRead;
        return factsOf(*current_);
    }

  private:
    const FakeStore& store_;
    FakeStoreCatalogue& catalogue_;
    std::size_t next_ = 0;
    const FakeCert* current_ = nullptr;
};

bool listStores(const FakeLocation& location, CatalogueVisitor& visitor) {
    for (const auto& store : location.stores) {
        if (!visitor.store(store.name)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Status FakeStoreCatalogue::listLocations(CatalogueVisitor& visitor) {
    if (locationsFail) {
        return fail("the locations cannot be listed");
    }
    for (const auto& location : locations) {
        visitor.location(location.name);
        if (location.storesFail) {
            visitor.storesUnlisted();
        } else if (!listStores(location, visitor)) {
            break;
        }
    }
    return {};
}

Status FakeStoreCatalogue::listCurrentUserStores(CatalogueVisitor& visitor) {
    for (const auto& location : locations) {
        if (location.name == currentUserLocation && !location.storesFail) {
            listStores(location, visitor);
            return {};
        }
    }
    return fail("no current user's stores");
}

OpenedStore FakeStoreCatalogue::openStore(const std::string& name) {
    for (const auto& location : locations) {
        for (const auto& store : location.stores) {
            if (store.name == name) {
                if (store.absentOnOpen) {
                    return OpenedStore::absent("no such store");
                }
                if (!store.opens) {
                    return OpenedStore::unreadable("access denied");
                }
                return OpenedStore(std::make_unique<FakeReader>(store, *this));
            }
        }
    }
    return OpenedStore::absent("no such store");
}

CertificateOrigin FakeStoreCatalogue::originOfMissing(const std::string& /*store*/,
                                                      const Fingerprint& sha256) {
    for (const auto& [print, origin] : missingOrigins) {
        if (print == sha256) {
            return origin;
        }
    }
    return {};
}

}  // namespace kestrune::testing
