// Any stored pair through the baseline loader, then a whole scan cycle against what was
// loaded: the loader must never read past the count text or the blob, must load only
// whole records the count allows, and must keep the baseline it had when it fails; the
// comparisons and message texts must cope with any record bytes (lengths out of range,
// names without a terminator).
//
// Input: byte 0 holds switches (see below), bytes 1-2 the count text's length
// (little-endian, cut to what follows), then the count text, then the data blob.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "baseline/baseline_storage.h"
#include "baseline/scan_cycle.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/fake_program.h"
#include "tests/support/memory_settings.h"
#include "tests/support/sample_records.h"
#include "tests/support/scripted_desktop.h"
#include "ui/baseline_messages.h"

namespace kestrune {
namespace {

enum Switch : std::uint8_t {
    kCountPresent = 1 << 0,
    kDataPresent = 1 << 1,
    kUnusedBit = 1 << 2,       // once the count's value type, which stores keep to themselves
    kBaselineBefore = 1 << 3,  // a baseline of two records was loaded before
    kAnswerYes = 1 << 4,       // to the save question
    kOneMoreCert = 1 << 5,     // the store holds a certificate the blob lacks
    // bits 6-7: how many of the blob's leading records the store has lost
};

constexpr std::uint32_t kSampleTag = 77;
constexpr std::size_t kStoreRecordsFromBlob = 8;

// The count the loader must take: leading UTF-16LE decimal digits, saturated at
// 2^31 - 1. Worked out on the digit string rather than digit by digit.
std::int64_t expectedCount(const std::uint8_t* text, std::size_t size) {
    std::string digits;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        if (text[i + 1] != 0 || text[i] < '0' || text[i] > '9') {
            break;
        }
        digits.push_back(static_cast<char>(text[i]));
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) {
        return INT32_MAX;
    }
    return digits.empty() ? 0 : std::stoll(digits);
}

// A certificate as the platform would hand over the record's content (lengths clamped
// as any reader of stored records must).
testing::FakeCert certFromRecord(const CertificateRecord& r) {
    testing::FakeCert c;
    c.name = recordTextUtf8(r.name);
    const std::size_t serial = validSerialLength(r);
    c.serialLE.assign(r.serialNumber, r.serialNumber + serial);
    std::reverse(c.serialLE.begin(), c.serialLE.end());
    c.subjectMd5.assign(r.subjectNameHash, r.subjectNameHash + validSubjectHashLength(r));
    return c;
}

// Answers every Yes/No question the same way; OK boxes with OK.
void checkCountsFitTables(const KestruneState& s) {
    FUZZ_CHECK(s.mqsCertificatesRegistry.validCount() < s.mqsCertificatesRegistry.size());
    FUZZ_CHECK(s.iCertificateCountTotal_Registry >= 0);
    FUZZ_CHECK(static_cast<std::size_t>(s.iCertificateCountTotal_Registry) <=
               s.mqsCertificatesRegistry.validCount());
    // iCertificateCountTotal keeps the last scan's count after a reload cuts the table
    // to the baseline; readers stop at the smaller of the two (the cycle's own rule).
}

void run(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return;
    }
    const std::uint8_t switches = data[0];
    const std::size_t textSize = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
    const std::vector<std::uint8_t> text(data + 3, data + 3 + textSize);
    const std::vector<std::uint8_t> blob(data + 3 + textSize, data + size);

    testing::FakeProgram program({.quietTrace = true});
    KestruneState& state = program.state;
    testing::MemorySettings& settings = program.settings;
    testing::ScriptedDesktop& desktop = program.desktop;
    NullTrace& trace = program.quiet;
    std::shared_ptr<BaselineStore>& settingsKey = program.settingsKey;
    settingsKey = settings.createKey(SettingsRoot::User);
    FUZZ_CHECK(settingsKey);

    std::vector<std::uint8_t> before;  // the baseline in memory before the fuzzed load
    if (switches & kBaselineBefore) {
        RecordTable previous;
        testing::fillTable(previous, 2, kSampleTag);
        FUZZ_CHECK(saveBaseline(*settingsKey, previous, 2));
        FUZZ_CHECK(registry_settings_load(settingsKey.get(), state, desktop, trace) == 1);
        const auto bytes = state.mqsCertificatesRegistry.bytes(2);
        before.assign(bytes.begin(), bytes.end());
    }

    auto& values = settings.values(SettingsRoot::User);
    values.clear();
    if (switches & kCountPresent) {
        values[BaselineValue::Count] = text;
    }
    if (switches & kDataPresent) {
        values[BaselineValue::Data] = blob;
    }
    desktop.clear();

    const int loaded = registry_settings_load(settingsKey.get(), state, desktop, trace);
    checkCountsFitTables(state);
    if (loaded == 1) {
        FUZZ_CHECK((switches & kCountPresent) && (switches & kDataPresent));
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(expectedCount(text.data(), text.size()),
                                   static_cast<std::int64_t>(blob.size() / kRecordSize)));
        FUZZ_CHECK(state.mqsCertificatesRegistry.validCount() == n);
        FUZZ_CHECK(static_cast<std::size_t>(state.iCertificateCountTotal_Registry) == n);
        FUZZ_CHECK(state.mqsCertificatesRegistry.size() == n + 1);
        if (n > 0) {
            FUZZ_CHECK(std::memcmp(state.mqsCertificatesRegistry.bytes(n).data(), blob.data(),
                                   n * kRecordSize) == 0);
            FUZZ_CHECK(std::memcmp(state.mqsCertificates.bytes(n).data(), blob.data(),
                                   n * kRecordSize) == 0);
        }
        FUZZ_CHECK(desktop.messageBoxes().empty());
    } else {
        FUZZ_CHECK(loaded == 0);
        // A failed load keeps the baseline it had and says so.
        const auto now = state.mqsCertificatesRegistry.bytes(before.size() / kRecordSize);
        FUZZ_CHECK(std::vector<std::uint8_t>(now.begin(), now.end()) == before);
        FUZZ_CHECK(static_cast<std::size_t>(state.iCertificateCountTotal_Registry) ==
                   before.size() / kRecordSize);
        const auto boxes = desktop.messageBoxes();
        FUZZ_CHECK(!boxes.empty() && boxes.back().caption == "Brimtal Software - Kestrune Error");
    }

    // A cycle against the loaded baseline, with stores made from the blob's records.
    testing::FakeStoreCatalogue& stores = program.stores;
    stores.locations.push_back(testing::FakeLocation{"LocalMachine"});
    stores.locations[0].stores.push_back(testing::FakeStore{"Root"});
    auto& certs = stores.locations[0].stores[0].certs;
    const std::size_t dropped = switches >> 6;
    for (std::size_t i = dropped;
         i < std::min(blob.size() / kRecordSize, kStoreRecordsFromBlob + dropped); ++i) {
        CertificateRecord r;
        std::memcpy(&r, blob.data() + i * kRecordSize, kRecordSize);
        certs.push_back(certFromRecord(r));
    }
    if (switches & kOneMoreCert) {
        certs.push_back(testing::makeCert("One more", {0xfe, 0xed}, 0xfe));
    }
    desktop.clear();
    desktop.yesNoAnswer = (switches & kAnswerYes) ? Answer::yes : Answer::no;
    scanCycle(program.context, 1);
    checkCountsFitTables(state);
    FUZZ_CHECK(static_cast<std::size_t>(state.iCertificateCountTotal) <= certs.size());
}

}  // namespace
}  // namespace kestrune

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::run(data, size);
    return 0;
}
