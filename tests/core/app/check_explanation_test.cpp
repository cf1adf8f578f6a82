// Package upgrades explaining the check's differences: every difference is still reported
// and still changes the exit status; its line, the summary, the journal and the metrics say
// where it came from and whether an upgrade since the baseline explains it.
#include <gtest/gtest.h>

#include "app/check_delivery.h"
#include "app/check_run.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/memory_settings.h"

namespace kestrune {
namespace {

using Kind = CertificateOrigin::Kind;

const CertificateOrigin kShipped{Kind::Package, "/usr/share/ca-certificates/mozilla/New.crt",
                                 "ca-certificates", "20240203", ""};
const PackageChange kUpgrade{"ca-certificates", "20230311", "20240203", 2000};

std::string lastLine(const std::string& text) {
    const std::size_t start = text.rfind('\n', text.size() - 2) + 1;
    return text.substr(start, text.size() - 1 - start);
}

struct ExplanationRow {
    const char* what;
    CertificateOrigin added;  // the origin of the certificate that appears
    std::vector<PackageChange> log;
    std::optional<std::int64_t> savedAt;
    bool removeOne;         // the baseline's certificate is gone too (its sources say "shipped")
    const char* addedTail;  // what closes the added line: origin, then what explains it
    const char* summary;
    std::size_t unexplained;
};

TEST(CheckExplanation, NamesWhatExplainsEachDifferenceAndNeverSilencesOne) {
    const ExplanationRow rows[] = {
        {"a clean upgrade after the baseline",
         kShipped,
         {kUpgrade},
         1000,
         false,
         "\tpackage ca-certificates 20240203 (/usr/share/ca-certificates/mozilla/New.crt)"
         "\tca-certificates 20230311 \u2192 20240203",
         "1 change, explained by ca-certificates 20230311 \u2192 20240203",
         0},
        {"removed and added by one upgrade",
         kShipped,
         {kUpgrade},
         1000,
         true,
         "\tca-certificates 20230311 \u2192 20240203",
         "2 changes, all explained by ca-certificates 20230311 \u2192 20240203",
         0},
        {"the upgrade came before the baseline",
         kShipped,
         {kUpgrade},
         3000,
         false,
         "\tpackage ca-certificates 20240203 (/usr/share/ca-certificates/mozilla/New.crt)\t",
         "1 change unexplained",
         1},
        {"the package moved to another version",
         kShipped,
         {{"ca-certificates", "20230311", "20240101", 2000}},
         1000,
         false,
         "\tpackage ca-certificates 20240203 (/usr/share/ca-certificates/mozilla/New.crt)\t",
         "1 change unexplained",
         1},
        {"no save time known",
         kShipped,
         {kUpgrade},
         std::nullopt,
         false,
         "\tpackage ca-certificates 20240203 (/usr/share/ca-certificates/mozilla/New.crt)\t",
         "1 change unexplained",
         1},
        {"a packaged file edited afterwards",
         {Kind::Modified, "/usr/share/ca-certificates/mozilla/New.crt", "ca-certificates",
          "20240203", ""},
         {kUpgrade},
         1000,
         false,
         "\tmodified file of package ca-certificates 20240203 "
         "(/usr/share/ca-certificates/mozilla/New.crt)\t",
         "1 change unexplained",
         1},
        {"an anchor no package owns",
         {Kind::Local, "/usr/local/share/ca-certificates/x.crt", "", "",
          "owner root, mode 0644, modified 2026-12-01 10:00:00 UTC"},
         {kUpgrade},
         1000,
         true,
         "\tlocal file (/usr/local/share/ca-certificates/x.crt; owner root, mode 0644, modified "
         "2026-12-01 10:00:00 UTC)\t",
         "2 changes, 1 unexplained",
         1},
        {"no package database", {}, {}, 1000, false, "\tunknown\t", "1 change unexplained", 1},
    };
    for (const ExplanationRow& row : rows) {
        SCOPED_TRACE(row.what);
        testing::FakeStoreCatalogue stores;
        testing::FakeCert old = testing::makeCert("Old Root", {0x01}, 1);
        stores.locations.push_back(
            testing::FakeLocation{"System", {testing::FakeStore{"ca-certificates", {old}}}});
        testing::MemorySettings settings;
        NullTrace trace;
        const CheckOptions check;
        ASSERT_EQ(runCheck(check, stores, settings, trace).status, kCheckExitOk);  // the baseline

        auto& certs = stores.locations[0].stores[0].certs;
        if (row.removeOne) {
            certs.clear();
            stores.missingOrigins.push_back(
                {old.sha256, {Kind::Package, "", "ca-certificates", "20240203", ""}});
        }
        certs.push_back(testing::makeCert("New Root", {0x02}, 2));
        certs.back().origin = row.added;
        stores.changes = row.log;
        settings.data().savedAt = row.savedAt;

        const CheckOutput out = runCheck(check, stores, settings, trace);
        EXPECT_EQ(out.status, kCheckExitChanged);
        const std::string added = out.out.substr(0, out.out.find('\n'));
        ASSERT_EQ(added.rfind("added\t", 0), 0u) << out.out;
        EXPECT_EQ(added.substr(added.size() - std::string(row.addedTail).size()), row.addedTail);
        EXPECT_EQ(lastLine(out.out), row.summary) << out.out;
        EXPECT_EQ(out.facts.unexplained, row.unexplained);

        const std::string metrics = metricsText(out.facts, true, {});
        EXPECT_NE(
            metrics.find("kestrune_unexplained_changes " + std::to_string(row.unexplained) + "\n"),
            std::string::npos);
        // Only roots no package ships get a series of their own.
        const bool local = isLocalRoot(row.added);
        EXPECT_EQ(metrics.find("kestrune_local_root_info{sha256=\"" +
                               fingerprintHex(certs.back().sha256) +
                               "\",subject=\"New Root\",store=\"ca-certificates\",origin=\"" +
                               originKindName(row.added.kind) + "\"} 1\n") != std::string::npos,
                  local);
        EXPECT_EQ(metrics.find("kestrune_local_root_info{") != std::string::npos, local);

        const JournalEntry entry = journalEntries(out).front();
        const auto field = [&](const std::string& name) {
            for (const auto& [key, value] : entry) {
                if (key == name) {
                    return value;
                }
            }
            return std::string("(absent)");
        };
        EXPECT_EQ(field("KESTRUNE_ORIGIN"), originKindName(row.added.kind));
        EXPECT_EQ(field("KESTRUNE_EXPLAINED_BY").empty(), row.unexplained > 0);

        CheckOptions json;
        json.json = true;
        const std::string objects = runCheck(json, stores, settings, trace).out;
        EXPECT_NE(objects.find(std::string("\"origin\":{\"kind\":\"") +
                               originKindName(row.added.kind) + "\""),
                  std::string::npos)
            << objects;
        EXPECT_NE(objects.find("\"unexplained\":" + std::to_string(row.unexplained) + "}"),
                  std::string::npos);
        EXPECT_EQ(objects.find("\"explained_by\":{\"package\":\"ca-certificates\",\"from\":"
                               "\"20230311\",\"to\":\"20240203\"}") != std::string::npos,
                  row.unexplained < (row.removeOne ? 2u : 1u));
    }
}

}  // namespace
}  // namespace kestrune
