// Thousands of stored pairs that saveBaseline would never write: whatever the count
// text and the blob size, the load must not crash or read past a buffer (run it under
// the address sanitizer build), and what it loads must follow the count rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "tests/support/memory_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

using testing::fillTable;
using testing::holdsSamples;
using testing::MemorySettings;
using testing::ScriptedDesktop;

// The count a reader must take from the text: its leading ASCII digits as UTF-16LE
// units, saturated at 2^31 - 1 (worked out on the digit string, not digit by digit).
std::int32_t expectedCount(const std::vector<std::uint8_t>& text) {
    std::string digits;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i + 1] != 0 || text[i] < '0' || text[i] > '9') {
            break;
        }
        digits.push_back(static_cast<char>(text[i]));
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty()) {
        return 0;
    }
    if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) {
        return INT32_MAX;
    }
    return static_cast<std::int32_t>(std::stoll(digits));
}

std::vector<std::uint8_t> randomCountText(std::mt19937& rng) {
    std::vector<std::uint8_t> out;
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto unit = [&](char16_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    const int digits = pick(4) == 0 ? pick(30) : pick(4);
    for (int i = 0; i < digits; ++i) {
        unit(static_cast<char16_t>(u'0' + pick(10)));
    }
    switch (pick(6)) {
        case 0:
            unit(0);  // terminator
            break;
        case 1:
            for (int i = pick(8); i > 0; --i) {
                unit(static_cast<char16_t>(rng()));  // any units after the digits
            }
            break;
        case 2:
            out.push_back(static_cast<std::uint8_t>(rng()));  // odd size
            break;
        case 3:
            out.insert(out.begin(), static_cast<std::uint8_t>(rng()));  // shifted by a byte
            break;
        default:
            break;
    }
    return out;
}

TEST(RegistrySettingsLoadRandom, AnyPairLoadsSafelyAndConsistently) {
    std::mt19937 rng(20240611);
    // A pool of distinct records, so loaded content can be checked against the blob.
    RecordTable pool;
    fillTable(pool, 40, 3);
    const auto poolBytes = pool.bytes(40);

    int loads = 0;
    int refused = 0;
    for (int round = 0; round < 4000; ++round) {
        MemorySettings settings;
        ScriptedDesktop desktop;
        NullTrace trace;
        KestruneState state;
        const std::shared_ptr<BaselineStore> settingsKey = settings.createKey(SettingsRoot::User);
        const std::size_t before = rng() % 5;
        fillTable(state.mqsCertificatesRegistry, before, 1);
        state.iCertificateCountTotal_Registry = static_cast<std::int32_t>(before);

        auto& values = settings.values(SettingsRoot::User);
        const bool hasCount = rng() % 10 != 0;
        const bool hasData = rng() % 10 != 0;
        std::vector<std::uint8_t> text = randomCountText(rng);
        if (hasCount) {
            values[BaselineValue::Count] = text;
        }
        // Whole records, or any byte count up to the pool's size.
        std::size_t size = rng() % 2 ? (rng() % 41) * kRecordSize : rng() % (poolBytes.size() + 1);
        std::vector<std::uint8_t> blob(poolBytes.begin(), poolBytes.begin() + size);
        if (hasData) {
            values[BaselineValue::Data] = blob;
        }

        const int result = registry_settings_load(settingsKey.get(), state, desktop, trace);
        const auto boxes = desktop.messageBoxes().size();
        if (!hasCount || !hasData) {
            ASSERT_EQ(result, 0);
            ASSERT_EQ(boxes, hasCount ? 1u : 2u);
            ASSERT_EQ(state.iCertificateCountTotal_Registry, static_cast<std::int32_t>(before));
            ASSERT_TRUE(holdsSamples(state.mqsCertificatesRegistry, before, 1));
            ++refused;
            continue;
        }
        ASSERT_EQ(result, 1);
        ASSERT_EQ(boxes, 0u);
        const std::size_t expected = std::min<std::size_t>(
            static_cast<std::size_t>(expectedCount(text)), size / kRecordSize);
        ASSERT_EQ(state.iCertificateCountTotal_Registry, static_cast<std::int32_t>(expected))
            << "round " << round;
        ASSERT_EQ(state.mqsCertificatesRegistry.validCount(), expected);
        ASSERT_EQ(state.mqsCertificatesRegistry.size(), expected + 1);
        ASSERT_TRUE(holdsSamples(state.mqsCertificatesRegistry, expected, 3));
        ASSERT_EQ(state.mqsCertificates.validCount(), expected);
        ASSERT_EQ(std::memcmp(state.mqsCertificates.bytes(expected).data(),
                              state.mqsCertificatesRegistry.bytes(expected).data(),
                              expected * kRecordSize),
                  0);
        ++loads;
    }
    // Both paths were really exercised.
    EXPECT_GT(loads, 2500);
    EXPECT_GT(refused, 300);
}

}  // namespace
}  // namespace kestrune
