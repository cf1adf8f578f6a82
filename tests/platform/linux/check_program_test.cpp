// The built kestrune-check, run on a temp root.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/platform/linux/cert_maker.h"

namespace kestrune::testing {
namespace {

class CheckProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/ssl/certs/ca-certificates.crt",
                    toPem(*first_) + toPem(*evil_) + toPem(*first_));
        root_.write("/usr/local/share/ca-certificates/local.crt", toPem(*local_));
    }

    std::string line(const X509& cert, const std::string& store, const std::string& name) {
        return "System\t" + store + "\t" + expectedSerialText(cert) + "\t" +
               expectedSubjectMd5Hex(cert) + "\t" + name + "\t" + expectedSha256Hex(cert) +
               "\tunknown\t\n";  // no package database under the test's root, no trust told
    }

    TempDir root_;
    X509Ptr first_ = makeCertificate(simpleFields("First Root", {0x80, 0x01}));
    // A name that tries to print a record of its own.
    X509Ptr evil_ = makeCertificate(simpleFields("Evil\tName\nSystem\tfake", {0x02}));
    X509Ptr local_ = makeCertificate(simpleFields("Zoë's \"Local\" CA", {0x03}));
};

TEST_F(CheckProgram, ListsTheInventoryAndTheTwoFigures) {
    const ProgramRun run = runCheck("--list --root " + root_.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // silent without --trace
    const std::string expected = line(*first_, "ca-certificates", "First Root") +
                                 line(*evil_, "ca-certificates", "Evil\\tName\\nSystem\\tfake") +
                                 line(*first_, "ca-certificates", "First Root") +
                                 line(*local_, "local-anchors", "Zoë's \"Local\" CA") +
                                 "Unique Certificates: 3\nAll certificates in all stores: 4\n"
                                 "local roots: unknown\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_NE(run.out.find("\t00 80 01\t"), std::string::npos);
}

TEST_F(CheckProgram, JsonHasOneObjectALine) {
    const ProgramRun run = runCheck("--json --list --root=" + root_.path());
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> all;
    for (std::string l; std::getline(lines, l);) {
        all.push_back(l);
    }
    ASSERT_EQ(all.size(), 6u) << run.out;
    EXPECT_EQ(all[1], "{\"location\":\"System\",\"store\":\"ca-certificates\",\"serial\":\"" +
                          expectedSerialText(*evil_) + "\",\"subject_md5\":\"" +
                          expectedSubjectMd5Hex(*evil_) +
                          "\",\"name\":\"Evil\\tName\\nSystem\\tfake\",\"sha256\":\"" +
                          expectedSha256Hex(*evil_) +
                          "\",\"origin\":{\"kind\":\"unknown\",\"text\":\"unknown\",\"path\":\"\","
                          "\"package\":\"\",\"version\":\"\"},\"trust\":\"\"}");
    EXPECT_NE(all[3].find("\"name\":\"Zoë's \\\"Local\\\" CA\""), std::string::npos) << all[3];
    EXPECT_EQ(all[4], "{\"unique_certificates\":3,\"all_certificates\":4}");
    EXPECT_EQ(all[5], "{\"local_roots\":null}");
}

TEST_F(CheckProgram, RootComesFromTheEnvironmentUnlessGiven) {
    const ProgramRun machine = runCheck("--list");
    EXPECT_EQ(machine.status, 0);
    EXPECT_EQ(machine.out.find("Zoë's"), std::string::npos);
    const ProgramRun viaEnv = runCheck("--list", "KESTRUNE_ROOT=" + root_.path());
    EXPECT_EQ(viaEnv.status, 0);
    EXPECT_NE(viaEnv.out.find("Zoë's"), std::string::npos);
    const ProgramRun overridden =
        runCheck("--list --root " + root_.path(), "KESTRUNE_ROOT=/nonexistent");
    EXPECT_EQ(overridden.status, 0) << overridden.err;
    EXPECT_NE(overridden.out.find("Zoë's"), std::string::npos);
    const ProgramRun badEnv = runCheck("--list", "KESTRUNE_ROOT=/nonexistent/kestrune");
    EXPECT_EQ(badEnv.status, 2);
}

TEST_F(CheckProgram, TraceGoesToStandardErrorOnly) {
    const ProgramRun quiet = runCheck("--list --root " + root_.path());
    const ProgramRun traced = runCheck("--list --trace --root " + root_.path());
    EXPECT_EQ(traced.status, 0);
    EXPECT_EQ(traced.out, quiet.out);
    EXPECT_NE(traced.err.find("Begin enumeration of store locations."), std::string::npos);
    EXPECT_NE(traced.err.find("The local-anchors store has been opened."), std::string::npos);

    // A file name cannot drive the terminal or reorder the trace's lines.
    root_.write("/usr/local/share/ca-certificates/evil\x1b[2J\xE2\x80\xAE.crt", "no PEM");
    const ProgramRun named = runCheck("--list --trace --root " + root_.path());
    EXPECT_EQ(named.err.find('\x1b'), std::string::npos);
    EXPECT_EQ(named.err.find("\xE2\x80\xAE"), std::string::npos);
    EXPECT_NE(named.err.find("evil\\x1b[2J\\u202e.crt: not a certificate"), std::string::npos)
        << named.err;
}

TEST(CheckProgramCommandLine, WrongUseExitsWithTwoAndHelpWithZero) {
    for (const std::string args : {"--bogus", "--list --root", "--list extra", "--accept --list",
                                   "--list -x", "--list --root /nonexistent/kestrune"}) {
        const ProgramRun run = runCheck(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.out, "") << args;
        EXPECT_EQ(run.err.rfind("kestrune-check: ", 0), 0u) << args << ": " << run.err;
    }
    EXPECT_EQ(runCheck("--help --bogus").status, 2);  // wrong stays wrong beside --help
    const ProgramRun help2 = runCheck("--help");
    EXPECT_EQ(help2.status, 0);
    EXPECT_NE(help2.out.find("--root DIR"), std::string::npos);
    const ProgramRun version = runCheck("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("kestrune-check ", 0), 0u);
}

}  // namespace
}  // namespace kestrune::testing
