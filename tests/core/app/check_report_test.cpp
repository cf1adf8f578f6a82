#include "app/check_report.h"

#include <gtest/gtest.h>

#include "app/check_delivery.h"
#include "app/check_run.h"
#include "tests/support/fake_cert_store.h"
#include "tests/support/memory_settings.h"
#include "tests/support/record_builder.h"

namespace kestrune {
namespace {

TEST(CheckCommandLine, AcceptsItsOptionsAndRejectsEverythingElse) {
    const auto ok = parseCheckCommandLine({"--list", "--json", "--trace", "--root", "/srv/img"});
    EXPECT_EQ(ok.error, "");
    EXPECT_TRUE(ok.options.list && ok.options.json && ok.options.trace);
    EXPECT_EQ(ok.options.root, "/srv/img");
    EXPECT_EQ(parseCheckCommandLine({"--list", "--root=/r"}).options.root, "/r");
    EXPECT_EQ(parseCheckCommandLine({"--help"}).error, "");
    EXPECT_EQ(parseCheckCommandLine({"--version"}).error, "");
    // No option is the monitoring run; --accept and --json go with it.
    const auto check = parseCheckCommandLine({});
    EXPECT_EQ(check.error, "");
    EXPECT_FALSE(check.options.list || check.options.accept);
    const auto accept = parseCheckCommandLine({"--accept", "--json"});
    EXPECT_EQ(accept.error, "");
    EXPECT_TRUE(accept.options.accept && accept.options.json);

    const std::vector<std::vector<std::string>> wrong = {
        {"--list", "--accept"}, {"--list", "--root"},
        {"--list", "--root="},  {"--lists"},
        {"--list", "stray"},    {"-l"},
        {"--help", "--nope"},
    };
    for (const auto& args : wrong) {
        EXPECT_NE(parseCheckCommandLine(args).error, "") << ::testing::PrintToString(args);
    }
    EXPECT_EQ(parseCheckCommandLine({"--nope"}).error, "unknown option '--nope'");
}

TEST(CheckReport, EscapesWhatCouldBreakALineOrAJsonString) {
    EXPECT_EQ(plainField("Plain Name é"), "Plain Name é");
    EXPECT_EQ(plainField("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\\\e");
    EXPECT_EQ(plainField("esc\x1b[31m"), "esc\\x1b[31m");
    EXPECT_EQ(plainField("c1\xC2\x9B"), "c1\\x9b");                       // U+009B, a terminal CSI
    EXPECT_EQ(plainField("bad\xFF\xC3"), "bad\xEF\xBF\xBD\xEF\xBF\xBD");  // not UTF-8
    // Bidirectional controls (here U+202E and U+2066) cannot reorder the line.
    EXPECT_EQ(plainField("evil\xE2\x80\xAEtxt.exe\xE2\x81\xA6"), "evil\\u202etxt.exe\\u2066");
    EXPECT_EQ(plainField("\xE2\x80\xA9\xE2\x81\xAA"),
              "\xE2\x80\xA9\xE2\x81\xAA");  // neighbours kept

    EXPECT_EQ(jsonString("Zoë \"q\" \\ /"), "\"Zoë \\\"q\\\" \\\\ /\"");
    EXPECT_EQ(jsonString(std::string("a\0b\x01\x7f\n", 6)), "\"a\\u0000b\\u0001\\u007f\\n\"");
    EXPECT_EQ(jsonString("\xE2\x80\xA8"), "\"\\u2028\"");
    EXPECT_EQ(jsonString("x\xC3(\xF0\x9F\x98"), "\"x\\ufffd(\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(jsonString("😀"), "\"😀\"");
    EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate

    // A NUL inside a name does not hide what follows it.
    const CertificateRecord r =
        testing::RecordBuilder().name(std::string_view("Good CA\0 evil", 13));
    EXPECT_NE(listLine(r).find("\tGood CA\\x00 evil\t"), std::string::npos) << listLine(r);
    EXPECT_NE(listJsonLine(r).find("\"name\":\"Good CA\\u0000 evil\""), std::string::npos);
}

TEST(CheckReport, ListsRecordsInScanOrderThenTheFigures) {
    const std::string kUnknownOrigin =
        "\"origin\":{\"kind\":\"unknown\",\"text\":\"unknown\",\"path\":\"\",\"package\":\"\","
        "\"version\":\"\"}";
    testing::FakeStoreCatalogue api;
    api.locations.push_back(testing::FakeLocation{
        "System",
        {testing::FakeStore{"ca-certificates",
                            {testing::makeCert("Root \"One\"", {0x00, 0x80, 0x01}, 1),
                             testing::makeCert("Root Two", {0x00, 0x80}, 2)}}}});
    api.locations[0].stores[0].certs[1].trust = "CT,C,\tC";  // a tab cannot split the line
    NullTrace trace;
    const auto& certs = api.locations[0].stores[0].certs;
    const std::string one = fingerprintHex(certs[0].sha256);
    const std::string two = fingerprintHex(certs[1].sha256);
    ASSERT_EQ(one.size(), 64u);
    const std::string text = scanAndList(api, trace, false).value();
    EXPECT_EQ(
        text,
        "System\tca-certificates\t00 80 01\t1f202122232425262728292a2b2c2d2e\tRoot \"One\"\t" +
            one +
            "\tunknown\t\nSystem\tca-certificates\t00 80\t3e3f404142434445464748494a4b4c4d\tRoot "
            "Two\t" +
            two +
            "\tunknown\tCT,C,\\tC\n"
            "Unique Certificates: 1\n"
            "All certificates in all stores: 2\n"
            "local roots: unknown\n");
    const std::string json = scanAndList(api, trace, true).value();
    EXPECT_EQ(json,
              "{\"location\":\"System\",\"store\":\"ca-certificates\",\"serial\":\"00 80 01\","
              "\"subject_md5\":\"1f202122232425262728292a2b2c2d2e\",\"name\":\"Root \\\"One\\\"\","
              "\"sha256\":\"" +
                  one + "\"," + kUnknownOrigin + ",\"trust\":\"\"}\n" +
                  "{\"location\":\"System\",\"store\":\"ca-certificates\",\"serial\":\"00 80\","
                  "\"subject_md5\":\"3e3f404142434445464748494a4b4c4d\",\"name\":\"Root Two\","
                  "\"sha256\":\"" +
                  two + "\"," + kUnknownOrigin + ",\"trust\":\"CT,C,\\tC\"}\n" +
                  "{\"unique_certificates\":1,\"all_certificates\":2}\n{\"local_roots\":null}\n");
}

TEST(CheckReport, CountsEachLocalRootOnceWhateverStoresHoldIt) {
    using Kind = CertificateOrigin::Kind;
    testing::FakeCert local = testing::makeCert("Corp Root", {0x11}, 1);
    local.origin = {Kind::Local, "/usr/local/share/ca-certificates/corp.crt", "", "", ""};
    testing::FakeCert shipped = testing::makeCert("Shipped", {0x12}, 2);
    shipped.origin = {Kind::Package, "/usr/share/ca-certificates/x.crt", "ca-certificates", "1",
                      ""};
    testing::FakeCert edited = testing::makeCert("Edited", {0x13}, 3);
    edited.origin = {Kind::Modified, "/usr/share/ca-certificates/y.crt", "ca-certificates", "1",
                     ""};
    testing::FakeStoreCatalogue api;
    api.locations.push_back(
        testing::FakeLocation{"System",
                              {testing::FakeStore{"ca-certificates", {local, shipped, edited}},
                               testing::FakeStore{"local-anchors", {local}}}});
    NullTrace trace;
    const std::string text = scanAndList(api, trace, false).value();
    EXPECT_NE(text.find("\tlocal file (/usr/local/share/ca-certificates/corp.crt)\t\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.rfind("local roots")), "local roots: 2\n") << text;
    EXPECT_NE(scanAndList(api, trace, true).value().find("{\"local_roots\":2}\n"),
              std::string::npos);
}

enum class Form { Text, Json, Journal, Metrics };

struct TrustReportRow {
    const char* what;
    std::string after;  // the root's trust at the check; the baseline saved "C,,"
    bool upgraded;      // its package moved to the version it comes from since the save
    Form form;
    int status;
    std::string expected;  // a part of the form's output
};

// A change of trust in each form the check reports it: the line ends with the trust before
// and after, the objects carry it, the journal has a field each, the metrics a gauge.
TEST(CheckReport, TellsAChangeOfTrustInEveryForm) {
    const testing::FakeCert root = testing::makeCert("Corp Root", {0x21}, 4);
    const std::string sha = fingerprintHex(root.sha256);
    const TrustReportRow rows[] = {
        {"line", "CT,C,C", false, Form::Text, kCheckExitChanged,
         sha + "\t" + sha + "\tunknown\t\tC,,\tCT,C,C\n"},
        {"summary", "CT,C,C", false, Form::Text, kCheckExitChanged,
         "0 added, 0 missing, 1 changed (baseline: 1 certificates, observed: 1 certificates, 1 "
         "unique); 1 in trust alone\n1 change unexplained\n"},
        {"never explained by an upgrade", "CT,C,C", true, Form::Text, kCheckExitChanged,
         "\n1 change unexplained\n"},
        {"object", "", false, Form::Json, kCheckExitChanged,
         "\"explained_by\":null,\"trust\":{\"old\":\"C,,\",\"new\":\"\"}}\n"},
        {"summary object", "", false, Form::Json, kCheckExitChanged,
         "\"unreadable_stores\":0,\"trust_changed\":1,\"unexplained\":1}\n"},
        {"journal fields", "CT,C,C", false, Form::Journal, kCheckExitChanged,
         "KESTRUNE_EXPLAINED_BY=\nKESTRUNE_TRUST_OLD=C,,\nKESTRUNE_TRUST_NEW=CT,C,C\n"},
        {"journal summary", "CT,C,C", false, Form::Journal, kCheckExitChanged,
         "KESTRUNE_CHANGED=1\n"},
        {"journal message", "CT,C,C", false, Form::Journal, kCheckExitChanged,
         "(serial 21); trust \"C,,\" \u2192 \"CT,C,C\"\n"},
        {"gauge", "CT,C,C", false, Form::Metrics, kCheckExitChanged, "kestrune_trust_changes 1\n"},
        {"counted as changed", "CT,C,C", false, Form::Metrics, kCheckExitChanged,
         "kestrune_differences{kind=\"changed\"} 1\n"},
        {"trust as saved", "C,,", false, Form::Text, kCheckExitOk, "0 added, 0 missing, 0 changed"},
        {"no gauge raised", "C,,", false, Form::Metrics, kCheckExitOk,
         "kestrune_trust_changes 0\n"},
    };
    for (const TrustReportRow& row : rows) {
        SCOPED_TRACE(row.what);
        testing::FakeStoreCatalogue stores;
        stores.locations.push_back(
            testing::FakeLocation{"System", {testing::FakeStore{"nssdb", {root}}}});
        testing::FakeCert& cert = stores.locations[0].stores[0].certs[0];
        cert.trust = "C,,";
        testing::MemorySettings settings;
        NullTrace trace;
        ASSERT_EQ(runCheck({}, stores, settings, trace).status, kCheckExitOk);

        cert.trust = row.after;
        if (row.upgraded) {
            cert.origin = {CertificateOrigin::Kind::Package, "/usr/share/ca-certificates/c.crt",
                           "ca-certificates", "2", ""};
            stores.changes = {{"ca-certificates", "1", "2", 2000}};
            settings.data().savedAt = 1000;
        }
        CheckOptions options;
        options.json = row.form == Form::Json;
        const CheckOutput out = runCheck(options, stores, settings, trace);
        EXPECT_EQ(out.status, row.status) << out.out << out.err;
        std::string shown = out.out;
        if (row.form == Form::Journal) {
            shown.clear();
            for (const JournalEntry& entry : journalEntries(out)) {
                for (const auto& [name, value] : entry) {
                    shown += name + "=" + value + "\n";
                }
            }
        } else if (row.form == Form::Metrics) {
            shown = metricsText(out.facts, true, {});
        }
        EXPECT_NE(shown.find(row.expected), std::string::npos) << shown;
    }
}

}  // namespace
}  // namespace kestrune
