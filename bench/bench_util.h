// Small helpers shared by the benchmarks: a monotonic stopwatch and synthetic stores.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

#include "tests/support/fake_cert_store.h"

namespace kestrune::bench {

class Stopwatch {
  public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_;
};

// `count` distinct certificates with realistic 16-byte serials and hashes, spread over
// a few stores of one location, so the scan does what a real one does per certificate.
inline void fillStores(testing::FakeStoreCatalogue& api, std::size_t count, std::uint32_t seed,
                       std::size_t stores = 8) {
    std::mt19937 rng(seed);
    api.locations.clear();
    api.locations.push_back(testing::FakeLocation{"LocalMachine"});
    for (std::size_t s = 0; s < stores; ++s) {
        api.locations[0].stores.push_back(testing::FakeStore{"Store" + std::to_string(s)});
    }
    for (std::size_t i = 0; i < count; ++i) {
        testing::FakeCert c;
        c.name = "Certificate Authority " + std::to_string(i);
        c.serialLE.resize(16);
        c.subjectMd5.resize(16);
        for (auto& b : c.serialLE) {
            b = static_cast<std::uint8_t>(rng());
        }
        for (auto& b : c.subjectMd5) {
            b = static_cast<std::uint8_t>(rng());
        }
        api.locations[0].stores[i % stores].certs.push_back(std::move(c));
    }
}

}  // namespace kestrune::bench
