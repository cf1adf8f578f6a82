// kestrune-check.exe end to end under Wine: the program the build made, run as a child
// process, over Wine's real stores and registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "inventory/certificate_record.h"
#include "platform/win32/win32_text.h"
#include "tests/platform/win32/added_certificate.h"
#include "tests/support/test_certificate.h"

namespace kestrune {
namespace {

namespace fixture = testing::test_certificate;

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct CheckRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;  // line ends as the program wrote them, \r removed
    std::string err;
};

// The build puts kestrune-check.exe at the top of the build tree, three levels above
// this program.
std::wstring checkProgram() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    for (int up = 0; up < 4; ++up) {
        path.erase(path.find_last_of(L"\\/"));
    }
    return path + L"\\kestrune-check.exe";
}

std::string drain(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != '\r') {
                text.push_back(buffer[i]);
            }
        }
    }
    return text;
}

CheckRun runCheck(const std::wstring& arguments) {
    CheckRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe: " << win32::errorText(GetLastError());
        return run;
    }
    Handle outR(outRead), outW(outWrite), errR(errRead), errW(errWrite);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + checkProgram() + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW " << win32::narrow(commandLine.c_str()) << ": "
                      << win32::errorText(GetLastError());
        return run;
    }
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    outW.reset();  // only the child holds the write ends now
    errW.reset();
    std::thread errReader([&] { run.err = drain(errRead); });
    run.out = drain(outRead);
    errReader.join();
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

std::string hex(const std::uint8_t* bytes, std::size_t n, const char* separator) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            text += separator;
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// sha256sum of the fixture's DER.
constexpr const char* kFixtureSha256 =
    "cc425ebd30f5f82e067dbfdc87bec46da6d393467605dda77fc7174455704f94";

// The fixture's line for one store and location, worked out from the fixture. Windows
// keeps no package database and tells no trust: the origin is unknown, then a list line's
// trust and a difference's explanation are both empty, so the two lines end alike.
std::string fixtureLine(const char* location, const char* store) {
    return std::string(location) + "\t" + store + "\t" +
           hex(fixture::kSerialMsbFirst, sizeof fixture::kSerialMsbFirst, " ") + "\t" +
           hex(fixture::kSubjectNameMd5, sizeof fixture::kSubjectNameMd5, "") + "\t" +
           fixture::kRecordName + "\t" + kFixtureSha256 + "\tunknown\t\n";
}

TEST(CheckProgram, ListShowsAnAddedCertificateWithItsFields) {
    const CheckRun before = runCheck(L"--list");
    ASSERT_EQ(before.exitCode, 0u) << before.err;
    EXPECT_EQ(before.out.find(fixture::kRecordName), std::string::npos);
    EXPECT_NE(before.out.find("\nUnique Certificates: "), std::string::npos) << before.out;

    testing::AddedCertificate added(L"My");
    ASSERT_TRUE(added.ok());
    const CheckRun after = runCheck(L"--list");
    ASSERT_EQ(after.exitCode, 0u) << after.err;
    EXPECT_NE(after.out.find(fixtureLine("CurrentUser", "My")), std::string::npos) << after.out;
    // Pass 2 lists the user's stores again under the last location pass 1 named.
    EXPECT_NE(after.out.find(fixtureLine("LocalMachineEnterprise", "My")), std::string::npos);

    const CheckRun wrong = runCheck(L"--no-such-option");
    EXPECT_EQ(wrong.exitCode, 2u);
    EXPECT_NE(wrong.err.find("kestrune-check: "), std::string::npos);
}

// Every line of `out` that starts with `event` and a tab, without that prefix.
std::vector<std::string> eventLines(const std::string& out, const std::string& event) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t end = out.find('\n', at);
        const std::string line = out.substr(at, end == std::string::npos ? end : end - at + 1);
        if (line.rfind(event + "\t", 0) == 0) {
            lines.push_back(line.substr(event.size() + 1));
        }
        at = end == std::string::npos ? out.size() : end + 1;
    }
    return lines;
}

class CheckMonitoring : public ::testing::Test {
  protected:
    void SetUp() override { removeSettings(); }
    void TearDown() override { removeSettings(); }
    static void removeSettings() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Brimtal Software");
    }
    static std::wstring storedCount() {
        wchar_t text[32] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software\\Kestrune",
                         L"Certificate Count", RRF_RT_REG_SZ, nullptr, text,
                         &size) != ERROR_SUCCESS) {
            return L"";
        }
        return text;
    }
};

// Each of the test certificate's records is one line, and nothing else differs.
void expectOnlyTheTestCertificate(const std::vector<std::string>& lines, const std::string& out) {
    ASSERT_GE(lines.size(), 2u) << out;
    EXPECT_EQ(lines.front(), fixtureLine("CurrentUser", "My"));
    EXPECT_EQ(lines.back(), fixtureLine("LocalMachineEnterprise", "My"));
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("\tMy\t" +
                            hex(fixture::kSerialMsbFirst, sizeof fixture::kSerialMsbFirst, " ")),
                  std::string::npos)
            << line;
    }
}

TEST_F(CheckMonitoring, FirstRunUnchangedRunAddedAcceptedAndRemovedCertificate) {
    const CheckRun first = runCheck(L"");
    ASSERT_EQ(first.exitCode, 0u) << first.out << first.err;
    EXPECT_NE(first.out.find("No baseline yet: recorded this scan as the baseline in "
                             "HKEY_LOCAL_MACHINE\\Software\\Brimtal Software\\Kestrune.\n"),
              std::string::npos)
        << first.out;
    const std::wstring baselineCount = storedCount();
    ASSERT_FALSE(baselineCount.empty());

    const CheckRun unchanged = runCheck(L"");
    EXPECT_EQ(unchanged.exitCode, 0u) << unchanged.out << unchanged.err;
    EXPECT_EQ(unchanged.out.rfind("0 added, 0 missing, 0 changed (baseline: ", 0), 0u)
        << unchanged.out;

    {
        testing::AddedCertificate added(L"My");
        ASSERT_TRUE(added.ok());
        const CheckRun report = runCheck(L"");
        EXPECT_EQ(report.exitCode, 1u) << report.out << report.err;
        expectOnlyTheTestCertificate(eventLines(report.out, "added"), report.out);
        EXPECT_TRUE(eventLines(report.out, "missing").empty()) << report.out;
        EXPECT_EQ(storedCount(), baselineCount) << "only --accept changes the baseline";

        const CheckRun accept = runCheck(L"--accept");
        EXPECT_EQ(accept.exitCode, 0u) << accept.out << accept.err;
        EXPECT_NE(accept.out.find("; the observed state is now the baseline\n"), std::string::npos)
            << accept.out;
        EXPECT_NE(storedCount(), baselineCount);
        EXPECT_EQ(runCheck(L"").exitCode, 0u);
    }

    // The certificate is gone again: each of its baseline records is missing.
    const CheckRun removed = runCheck(L"--json");
    EXPECT_EQ(removed.exitCode, 1u) << removed.out << removed.err;
    EXPECT_EQ(removed.out.rfind("{\"event\":\"missing\",\"location\":\"CurrentUser\",\"store\":"
                                "\"My\",\"serial\":\"00 8a 5e 1c 27 d4 b3 f0 69 14\"",
                                0),
              0u)
        << removed.out;
    EXPECT_NE(removed.out.find("{\"event\":\"summary\",\"added\":0,"), std::string::npos)
        << removed.out;
    const CheckRun plain = runCheck(L"");
    expectOnlyTheTestCertificate(eventLines(plain.out, "missing"), plain.out);
}

TEST_F(CheckMonitoring, ACertificateUnderABaselineCertificatesSerialIsAdded) {
    testing::AddedCertificate legit(L"My");
    ASSERT_TRUE(legit.ok());
    ASSERT_EQ(runCheck(L"").exitCode, 0u);  // the baseline, with the test certificate

    // The same serial under another subject: the first letter of the subject's common
    // name changed, at its second place in the DER (the issuer's comes first).
    std::vector<std::uint8_t> rogue(std::begin(fixture::kDer), std::end(fixture::kDer));
    const std::string name(fixture::kCommonName);
    const std::vector<std::uint8_t> cn(name.begin(), name.end());
    const auto at = std::search(rogue.begin() + 1, rogue.end(), cn.begin(), cn.end());
    const auto subject = std::search(at + 1, rogue.end(), cn.begin(), cn.end());
    ASSERT_NE(subject, rogue.end());
    *subject = 'X';
    testing::AddedCertificate added(L"My", rogue.data(), rogue.size());
    ASSERT_TRUE(added.ok());

    const CheckRun report = runCheck(L"");
    EXPECT_EQ(report.exitCode, 1u) << report.out << report.err;
    const auto lines = eventLines(report.out, "added");
    ASSERT_FALSE(lines.empty()) << report.out;
    for (const std::string& line : lines) {
        EXPECT_NE(
            line.find("\tMy\t" +
                      hex(fixture::kSerialMsbFirst, sizeof fixture::kSerialMsbFirst, " ") + "\t"),
            std::string::npos)
            << line;
        EXPECT_NE(line.find("\tXestrune"), std::string::npos) << line;
    }
    EXPECT_TRUE(eventLines(report.out, "missing").empty()) << report.out;
}

// `reg.exe` with these arguments, as an administrator would edit the key; its exit code.
// The damage another program could do to the stored values, straight through the
// registry API (32-bit Wine's reg.exe reports success for a value it did not delete).
LSTATUS setStored(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software\\Kestrune", name, type,
                           bytes.data(), static_cast<DWORD>(bytes.size()));
}

LSTATUS deleteStored(const wchar_t* name) {
    return RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software\\Kestrune", name);
}

// Both values of the machine key as stored, type and bytes, for before-and-after checks.
std::string storedValues() {
    std::string all;
    for (const wchar_t* name : {L"Certificate Count", L"Certificate Data"}) {
        DWORD type = 0;
        DWORD size = 0;
        std::vector<BYTE> bytes;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software\\Kestrune", name,
                         RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS) {
            // Some registries write the type even for a value that is not there.
            all += "absent;";
            continue;
        }
        bytes.resize(size);
        RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Brimtal Software\\Kestrune", name,
                     RRF_RT_ANY | RRF_NOEXPAND, &type, bytes.data(), &size);
        bytes.resize(size);
        all += std::to_string(type) + ":" + hex(bytes.data(), bytes.size(), "") + ";";
    }
    return all;
}

TEST_F(CheckMonitoring, ADamagedRegistryBaselineIsAnErrorUntilAccepted) {
    const std::string where = "HKEY_LOCAL_MACHINE\\Software\\Brimtal Software\\Kestrune";
    const struct {
        const char* name;
        LSTATUS (*edit)();
        const char* says;
    } cases[] = {
        {"count abc",
         [] {
             // "abc" and its terminator, as reg.exe would store it.
             return setStored(L"Certificate Count", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 0, 0});
         },
         "\"Certificate Count\" is not a number of records (\"abc\")"},
        {"data cut",  // one byte short of a record
         [] { return setStored(L"Certificate Data", REG_BINARY, std::vector<BYTE>(567, 0x44)); },
         "\"Certificate Data\" holds 567 bytes, not whole records of 568 bytes"},
        {"count deleted", [] { return deleteStored(L"Certificate Count"); },
         "\"Certificate Data\" is there but \"Certificate Count\" is missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        removeSettings();
        ASSERT_EQ(runCheck(L"").exitCode, 0u);
        const std::string whole = storedValues();
        ASSERT_EQ(c.edit(), ERROR_SUCCESS);
        const std::string damaged = storedValues();
        ASSERT_NE(damaged, whole);
        const CheckRun run = runCheck(L"");
        EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("the stored baseline in " + where + " is damaged: " + c.says),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(storedValues(), damaged);
    }
    const CheckRun accept = runCheck(L"--accept");
    EXPECT_EQ(accept.exitCode, 0u) << accept.out << accept.err;
    EXPECT_EQ(accept.out.rfind("Replaced the damaged baseline in " + where, 0), 0u) << accept.out;
    const CheckRun after = runCheck(L"");
    EXPECT_EQ(after.exitCode, 0u) << after.out << after.err;
    EXPECT_EQ(after.out.rfind("0 added, 0 missing, 0 changed", 0), 0u) << after.out;
}

}  // namespace
}  // namespace kestrune
