// A change of trust through a saved baseline: the trust each store gives its certificates is
// stored beside the records, loaded back and compared; baselines without it, or with a value
// that does not fit, load as before and compare no trust.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "baseline/change_detection.h"
#include "inventory/scanner.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/memory_settings.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

using testing::Bytes;

// One length-prefixed text as the stored value holds it, written out by hand.
Bytes lengthThen(std::uint32_t length, const std::string& text) {
    Bytes out;
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct TrustRow {
    const char* what;
    std::string rootBefore;       // the trust of the first certificate when the baseline is saved
    std::string rootAfter;        // ... and at the next scan
    std::string leafAfter;        // the second certificate's at the next scan (saved with none)
    bool reissued;                // the first certificate has another fingerprint at the next scan
    std::optional<Bytes> stored;  // replaces the saved "Certificate Trust"; empty: erased
    bool keepStored;              // leave the saved value as it is
    TrustFound found;
    std::vector<ChangedCertificate> changed;
};

TEST(TrustChange, IsStoredComparedAndOldOrDamagedValuesAreIgnored) {
    const std::string longText(1500, 'x');
    const std::string kept(1024, 'x');
    const TrustRow rows[] = {
        {"trust as it was", "CT,C,C", "CT,C,C", "", false, {}, true, TrustFound::Loaded, {}},
        {"widened trust",
         "C,,",
         "CT,C,C",
         "",
         false,
         {},
         true,
         TrustFound::Loaded,
         {{0, 0, false, TrustChange{"C,,", "CT,C,C"}}}},
        {"trust given where the store said nothing, and taken away",
         "blocklisted",
         "",
         "trusted for serverAuth",
         false,
         {},
         true,
         TrustFound::Loaded,
         {{0, 0, false, TrustChange{"blocklisted", ""}},
          {1, 1, false, TrustChange{"", "trusted for serverAuth"}}}},
        {"a long text compares with its stored self",
         longText,
         longText,
         "",
         false,
         {},
         true,
         TrustFound::Loaded,
         {}},
        {"a reissued certificate is replaced, its trust told too",
         "CT,C,C",
         "p,p,p",
         "",
         true,
         {},
         true,
         TrustFound::Loaded,
         {{0, 0, true, TrustChange{"CT,C,C", "p,p,p"}}}},
        {"a baseline from before trust",
         "C,,",
         "CT,C,C",
         "",
         false,
         std::nullopt,
         false,
         TrustFound::Absent,
         {}},
        {"a text running past the value",
         "C,,",
         "CT,C,C",
         "",
         false,
         join({lengthThen(3, "C,,"), lengthThen(9, "p,p")}),
         false,
         TrustFound::Unfitting,
         {}},
        {"a text over the limit",
         "C,,",
         "CT,C,C",
         "",
         false,
         join({lengthThen(2000, std::string(2000, 'a')), lengthThen(0, "")}),
         false,
         TrustFound::Unfitting,
         {}},
        {"bytes after the last text",
         "C,,",
         "CT,C,C",
         "",
         false,
         join({lengthThen(3, "C,,"), lengthThen(0, ""), Bytes{0}}),
         false,
         TrustFound::Unfitting,
         {}},
        {"a value too short for the lengths",
         "C,,",
         "CT,C,C",
         "",
         false,
         Bytes{3, 0, 0},
         false,
         TrustFound::Unfitting,
         {}},
        {"a value larger than any two texts",
         "C,,",
         "CT,C,C",
         "",
         false,
         Bytes(3000, 0),
         false,
         TrustFound::Unfitting,
         {}},
    };
    for (const TrustRow& row : rows) {
        SCOPED_TRACE(row.what);
        testing::FakeStoreCatalogue stores;
        stores.locations.push_back(testing::FakeLocation{
            "System",
            {testing::FakeStore{"nssdb",
                                {testing::makeCert("Corp Root", {0x01}, 1),
                                 testing::makeCert("Corp Leaf", {0x02}, 2)}}}});
        auto& certs = stores.locations[0].stores[0].certs;
        certs[0].trust = row.rootBefore;

        testing::MemorySettings settings;
        auto key = settings.createKey(SettingsRoot::Machine);
        KestruneState saved;
        NullTrace quiet;
        ASSERT_TRUE(scan(saved, stores, quiet).complete());
        ASSERT_TRUE(saveCurrentAsBaseline(*key, saved));
        auto& values = settings.values(SettingsRoot::Machine);
        if (!row.keepStored && row.stored) {
            values[BaselineValue::Trust] = *row.stored;
        } else if (!row.keepStored) {
            values.erase(BaselineValue::Trust);
        }

        certs[0].trust = row.rootAfter;
        certs[1].trust = row.leafAfter;
        if (row.reissued) {
            certs[0].sha256.fill(0xEE);
        }
        KestruneState state;
        CaptureTrace trace;
        const BaselineLoad load = loadBaseline(key.get(), state, trace);
        ASSERT_TRUE(load.ok());
        EXPECT_EQ(load.loaded, 2u) << "the records load whatever the trust value holds";
        EXPECT_EQ(load.trust, row.found);
        EXPECT_EQ(trace.allText().find("Certificate Trust") != std::string::npos,
                  row.found == TrustFound::Unfitting)
            << trace.allText();
        state.resetScanCounters();
        ASSERT_TRUE(scan(state, stores, quiet).complete());
        const Changes changes = detectChanges(state);
        EXPECT_EQ(changes.changed, row.changed);
        EXPECT_TRUE(changes.added.empty() && changes.missing.empty());
    }
    // The text kept is the first kTrustTextBytes bytes, never half a character.
    EXPECT_EQ(decodeTrust(encodeTrust(std::vector<std::string>{longText}), 1)->front(), kept);
    const std::string accents = std::string(1023, 'a') + "\xC3\xA9";
    EXPECT_EQ(decodeTrust(encodeTrust(std::vector<std::string>{accents}), 1)->front(),
              std::string(1023, 'a'));
}

}  // namespace
}  // namespace kestrune
