// kestrune-check's figures for Prometheus, its journal entries, and where a report goes.
#include "app/check_delivery.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/support/sample_records.h"

namespace kestrune {
namespace {

using testing::sampleRecord;

CheckOutput changedRun() {
    KestruneState state;
    for (const auto& [store, n] : {std::pair{"ca-certificates", 3}, {"local-anchors", 1}}) {
        for (int i = 0; i < n; ++i) {
            *state.beginAppend() = sampleRecord(7, 0).in("System", store).name("x");
            state.commitAppendedRecord();
        }
    }
    *state.beginAppend() = sampleRecord(7, 0).in("Current\"User", "fire\\fox\n").name("x");
    state.commitAppendedRecord();
    *state.mqsCertificatesRegistry.prepareRecord(0) =
        sampleRecord(7, 0).in("System", "ca-certificates").name("Gone CA");
    state.mqsCertificatesRegistry.commitRecord(0);
    state.iCertificateCountTotal_Registry = 5;
    Fingerprint a;
    a.fill(0xaa);
    Fingerprint b;
    b.fill(0xbb);
    state.currentFingerprints = {{}, {}, {}, {}, a};
    state.baselineFingerprints = {b};
    CheckOutput out;
    out.status = 1;
    out.facts = checkFacts(state, {4}, {0}, false);
    return out;
}

std::map<std::string, std::string> fields(const JournalEntry& entry) {
    std::map<std::string, std::string> m;
    for (const auto& [name, value] : entry) {
        EXPECT_TRUE(m.emplace(name, value).second) << "field twice: " << name;
    }
    return m;
}

TEST(CheckMetrics, CountsPerStoreDifferencesAndTimesInTextfileFormat) {
    const CheckOutput run = changedRun();
    const std::string text = metricsText(run.facts, true, {1700000000.25, 0.5});
    for (const char* line :
         {"kestrune_certificates{location=\"System\",store=\"ca-certificates\"} 3\n",
          "kestrune_certificates{location=\"System\",store=\"local-anchors\"} 1\n",
          "kestrune_certificates{location=\"Current\\\"User\",store=\"fire\\\\fox\\n\"} 1\n",
          "kestrune_baseline_certificates 5\n", "kestrune_differences{kind=\"added\"} 1\n",
          "kestrune_differences{kind=\"missing\"} 1\n",
          "kestrune_last_scan_timestamp_seconds 1700000000.250\n",
          "kestrune_scan_duration_seconds 0.500000\n", "kestrune_check_completed 1\n",
          "# TYPE kestrune_unique_certificates gauge\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    }
    // A scan that did not complete keeps every series (an alert on them must not go
    // quiet); a run that failed before it scanned knows no counts and writes none.
    const std::string incomplete = metricsText(run.facts, false, {1, 2});
    EXPECT_NE(incomplete.find("kestrune_check_completed 0\n"), std::string::npos);
    EXPECT_NE(incomplete.find("kestrune_differences{kind=\"added\"} 1\n"), std::string::npos);
    EXPECT_NE(incomplete.find("kestrune_certificates{"), std::string::npos);
    // Accepted: the differences are the baseline now, and the figures say so at once.
    CheckFacts accepted = run.facts;
    accepted.accepted = true;
    accepted.acceptedBaseline = 6;
    const std::string after = metricsText(accepted, true, {1, 2});
    for (const char* line :
         {"kestrune_baseline_certificates 6\n", "kestrune_differences{kind=\"added\"} 0\n",
          "kestrune_differences{kind=\"missing\"} 0\n"}) {
        EXPECT_NE(after.find(line), std::string::npos) << line << "in\n" << after;
    }
    const std::string failed = metricsText(CheckFacts{}, false, {1, 2});
    EXPECT_NE(failed.find("kestrune_check_completed 0\n"), std::string::npos);
    EXPECT_EQ(failed.find("kestrune_certificates"), std::string::npos);
    EXPECT_EQ(failed.find("kestrune_differences"), std::string::npos);
}

TEST(CheckMetrics, LabelValuesAreValidUtf8WhateverTheNamesHold) {
    const struct {
        std::string_view in;
        const char* out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"quote\" back\\slash\nline", "\"quote\\\" back\\\\slash\\nline\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},       // valid UTF-8 kept
        {"bad\xff", "\"bad\\\\xff\""},                                      // invalid byte
        {"trunc\xc3", "\"trunc\\\\xc3\""},                                  // cut sequence
        {"over\xc0\xaf", "\"over\\\\xc0\\\\xaf\""},                         // overlong
        {"sur\xed\xa0\x80", "\"sur\\\\xed\\\\xa0\\\\x80\""},                // a surrogate
        {std::string_view("nul\0bell\a", 9), "\"nul\\\\x00bell\\\\x07\""},  // controls
    };
    for (const auto& c : cases) {
        EXPECT_EQ(metricLabelValue(c.in), c.out) << c.in;
    }
}

TEST(CheckJournal, AChangedCertificateIsAWarningEntryAndCountsAsADifference) {
    CheckOutput run = changedRun();
    run.facts.added.clear();
    run.facts.missing.clear();
    run.facts.changed.push_back(
        sampleRecord(7, 0).in("System", "ca-certificates").name("Swapped CA"));
    Fingerprint now;
    now.fill(0x12);
    Fingerprint before;
    before.fill(0x34);
    run.facts.changedSha256 = {now};
    run.facts.changedBaselineSha256 = {before};
    const auto entries = journalEntries(run);
    ASSERT_EQ(entries.size(), 2u);
    auto changed = fields(entries[0]);
    EXPECT_EQ(changed["KESTRUNE_EVENT"], "changed");
    EXPECT_EQ(changed["KESTRUNE_SHA256"], fingerprintHex(now));  // what it became
    EXPECT_EQ(changed["KESTRUNE_BASELINE_SHA256"], fingerprintHex(before));
    EXPECT_EQ(changed["PRIORITY"], "4");
    EXPECT_EQ(changed["KESTRUNE_NAME"], "Swapped CA");
    auto summary = fields(entries[1]);
    EXPECT_EQ(summary["PRIORITY"], "4");
    EXPECT_EQ(summary["KESTRUNE_CHANGED"], "1");
    EXPECT_EQ(summary["MESSAGE"].rfind("0 added, 0 missing, 1 changed (", 0), 0u);
    EXPECT_NE(
        metricsText(run.facts, true, {1, 2}).find("kestrune_differences{kind=\"changed\"} 1\n"),
        std::string::npos);
}

TEST(CheckJournal, OneEntryPerDifferenceWithItsPriorityAndFieldsThenTheOutcome) {
    CheckOutput run = changedRun();
    run.err = "kestrune-check: warning: the stored baseline is inconsistent\n";
    const auto entries = journalEntries(run);
    ASSERT_EQ(entries.size(), 4u);
    auto added = fields(entries[0]);
    EXPECT_EQ(added["KESTRUNE_EVENT"], "added");
    EXPECT_EQ(added["PRIORITY"], "4");
    EXPECT_EQ(added["KESTRUNE_LOCATION"], "Current\"User");
    EXPECT_EQ(added["KESTRUNE_STORE"], "fire\\fox\n");  // the field keeps the bytes
    EXPECT_EQ(added["KESTRUNE_SERIAL"], serialTextCompact(run.facts.added[0]));
    EXPECT_EQ(added["KESTRUNE_SUBJECT_MD5"], subjectHashHex(run.facts.added[0]));
    EXPECT_EQ(added["KESTRUNE_SHA256"], std::string(64, 'a'));
    EXPECT_EQ(added.count("KESTRUNE_BASELINE_SHA256"), 0u);
    EXPECT_EQ(added["SYSLOG_IDENTIFIER"], "kestrune-check");
    EXPECT_EQ(added["MESSAGE"].find('\n'), std::string::npos);  // the message escapes it
    auto missing = fields(entries[1]);
    EXPECT_EQ(missing["KESTRUNE_EVENT"], "missing");
    EXPECT_EQ(missing["PRIORITY"], "5");
    EXPECT_EQ(missing["KESTRUNE_NAME"], "Gone CA");
    EXPECT_EQ(missing["KESTRUNE_SHA256"], std::string(64, 'b'));
    auto summary = fields(entries[2]);
    EXPECT_EQ(summary["KESTRUNE_EVENT"], "summary");
    EXPECT_EQ(summary["PRIORITY"], "4");  // a change must show under -p warning
    EXPECT_EQ(summary["KESTRUNE_ADDED"], "1");
    EXPECT_EQ(
        summary["MESSAGE"].rfind("1 added, 1 missing, 0 changed (baseline: 5 certificates", 0), 0u);
    EXPECT_EQ(fields(entries[3])["KESTRUNE_EVENT"], "warning");

    run.facts.added.clear();
    run.facts.missing.clear();
    run.err = "kestrune-check: could not read the baseline\n";
    const auto quiet = journalEntries(run);
    ASSERT_EQ(quiet.size(), 2u);
    EXPECT_EQ(fields(quiet[0])["PRIORITY"], "6");
    EXPECT_EQ(fields(quiet[1])["PRIORITY"], "3");
}

class FakeOutlets final : public CheckOutlets {
  public:
    bool outputIsJournal = false;
    bool journalWorks = true;
    bool fileWorks = true;
    std::string service;  // the service's metrics file, where there is one
    std::vector<JournalEntry> sent;
    std::map<std::string, std::string> files;

    bool stdoutIsJournal() const override { return outputIsJournal; }
    std::unique_ptr<EventJournal> openJournal(std::string& error) override {
        struct Journal final : EventJournal {
            FakeOutlets& o;
            explicit Journal(FakeOutlets& outlets) : o(outlets) {}
            bool send(const JournalEntry& e) override {
                o.sent.push_back(e);
                return o.journalWorks;
            }
            std::string error() const override { return "refused"; }
        };
        error = "no journal here";
        return std::make_unique<Journal>(*this);
    }
    bool replaceFile(const std::string& path, const std::string& text,
                     std::string& error) override {
        error = "disk full";
        if (fileWorks) {
            files[path] = text;
        }
        return fileWorks;
    }
    std::string serviceMetricsFile() const override { return service; }
};

struct Delivered {
    int status;
    std::string out;
    std::string err;
};

Delivered deliver(const CheckOptions& options, FakeOutlets& outlets, const CheckOutput& run) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = deliverCheck(options, run, {10, 1}, outlets, out, err);
    auto slurp = [](std::FILE* f) {
        std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
        std::rewind(f);
        text.resize(std::fread(text.data(), 1, text.size(), f));
        std::fclose(f);
        return text;
    };
    return {status, slurp(out), slurp(err)};
}

TEST(CheckDelivery, JournalAndMetricsGoWhereAskedAndFailuresAreErrorsThatKeepTheReport) {
    CheckOutput run = changedRun();
    run.out = "the report\n";
    {  // A terminal: printed only.
        FakeOutlets o;
        const Delivered d = deliver({}, o, run);
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.out, "the report\n");
        EXPECT_TRUE(o.sent.empty());
    }
    {  // A service's output: the journal alone, no second copy through the output.
        FakeOutlets o;
        o.outputIsJournal = true;
        const Delivered d = deliver({}, o, run);
        EXPECT_EQ(d.status, 1);
        EXPECT_EQ(d.out, "");
        EXPECT_EQ(o.sent.size(), 3u);
        CheckOptions json;
        json.json = true;  // asked for JSON: it is printed, into the journal stream
        FakeOutlets o2;
        o2.outputIsJournal = true;
        EXPECT_EQ(deliver(json, o2, run).out, "the report\n");
        EXPECT_TRUE(o2.sent.empty());
    }
    {  // Asked for and refused: an error, the report printed all the same.
        FakeOutlets o;
        o.journalWorks = false;
        CheckOptions journal;
        journal.journal = true;
        const Delivered d = deliver(journal, o, run);
        EXPECT_EQ(d.status, 2);
        EXPECT_EQ(d.out, "the report\n");
        EXPECT_NE(d.err.find("could not write to the journal: refused"), std::string::npos);
    }
    {  // Metrics: written with the run's figures, or an error naming the file.
        CheckOptions metrics;
        metrics.metricsFile = "/m/kestrune.prom";
        FakeOutlets o;
        EXPECT_EQ(deliver(metrics, o, run).status, 1);
        EXPECT_NE(o.files["/m/kestrune.prom"].find("kestrune_differences{kind=\"added\"} 1"),
                  std::string::npos);
        o.fileWorks = false;
        const Delivered d = deliver(metrics, o, run);
        EXPECT_EQ(d.status, 2);
        EXPECT_EQ(d.out, "the report\n");
        EXPECT_NE(d.err.find("metrics file /m/kestrune.prom: disk full"), std::string::npos);
    }
}

TEST(CheckDelivery, AStoredBaselineRefreshesTheServicesMetricsFileUnlessAnotherIsNamed) {
    const CheckOutput changed = changedRun();
    CheckOutput accepted = changed;
    accepted.status = kCheckExitOk;
    accepted.facts.accepted = true;
    CheckOutput first = changed;
    first.facts = CheckFacts{};
    first.facts.scanned = true;
    first.facts.baselineRecorded = true;
    CheckOptions rooted;
    rooted.root = "/elsewhere";
    CheckOptions named;
    named.metricsFile = "/m/named.prom";
    const struct {
        const char* what;
        const CheckOutput& run;
        CheckOptions options;
        bool refreshed;
    } cases[] = {
        {"accepted", accepted, {}, true},
        {"first baseline", first, {}, true},
        {"only compared", changed, {}, false},
        {"accepted under another root", accepted, rooted, false},
        {"accepted with its own metrics file", accepted, named, false},
    };
    for (const auto& c : cases) {
        FakeOutlets o;
        o.service = "/s/kestrune.prom";
        deliver(c.options, o, c.run);
        EXPECT_EQ(o.files.count("/s/kestrune.prom"), c.refreshed ? 1u : 0u) << c.what;
    }
    FakeOutlets none;  // no service file: nothing written
    deliver({}, none, accepted);
    EXPECT_TRUE(none.files.empty());
    FakeOutlets full;  // failing to refresh is a warning, not an error
    full.service = "/s/kestrune.prom";
    full.fileWorks = false;
    const Delivered d = deliver({}, full, accepted);
    EXPECT_EQ(d.status, kCheckExitOk);
    EXPECT_NE(d.err.find("warning: could not refresh the metrics file /s/kestrune.prom: disk full"),
              std::string::npos)
        << d.err;
}

TEST(CheckDelivery, AnIncompleteRunIsNamedInTheJournalAndNotCompletedInTheMetrics) {
    CheckOutput run = changedRun();
    run.status = kCheckExitIncomplete;
    run.facts.unreadable = {{"System", "ca-certificates", "bundle: Permission denied"}};
    const auto entries = journalEntries(run);
    ASSERT_EQ(entries.size(), 4u);
    auto unreadable = fields(entries[2]);
    EXPECT_EQ(unreadable["KESTRUNE_EVENT"], "unreadable");
    EXPECT_EQ(unreadable["PRIORITY"], "4");
    EXPECT_EQ(unreadable["KESTRUNE_STORE"], "ca-certificates");
    EXPECT_EQ(unreadable["KESTRUNE_REASON"], "bundle: Permission denied");
    auto summary = fields(entries[3]);
    EXPECT_EQ(summary["KESTRUNE_UNREADABLE"], "1");
    EXPECT_NE(summary["MESSAGE"].find("incomplete: 1 unreadable"), std::string::npos);

    CheckOptions metrics;
    metrics.metricsFile = "/m/kestrune.prom";
    FakeOutlets o;
    EXPECT_EQ(deliver(metrics, o, run).status, kCheckExitIncomplete);
    const std::string text = o.files["/m/kestrune.prom"];
    EXPECT_NE(text.find("kestrune_check_completed 0\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("kestrune_unreadable_stores{location=\"System\",store=\"ca-certificates\"} 1\n"),
        std::string::npos)
        << text;
    // What could be read is still counted: an alert on "added" must not go quiet.
    EXPECT_NE(text.find("kestrune_differences{kind=\"added\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("kestrune_certificates{"), std::string::npos) << text;
}

TEST(CheckCommandLine, TakesAMetricsFileAndTheJournal) {
    const auto ok = parseCheckCommandLine({"--journal", "--metrics-file", "/a.prom"});
    EXPECT_EQ(ok.error, "");
    EXPECT_TRUE(ok.options.journal);
    EXPECT_EQ(ok.options.metricsFile, "/a.prom");
    EXPECT_EQ(parseCheckCommandLine({"--metrics-file=/b.prom"}).options.metricsFile, "/b.prom");
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--metrics-file"},
                                                  {"--metrics-file="},
                                                  {"--list", "--journal"},
                                                  {"--list", "--metrics-file", "x"}}) {
        EXPECT_NE(parseCheckCommandLine(wrong).error, "") << ::testing::PrintToString(wrong);
    }
}

}  // namespace
}  // namespace kestrune
