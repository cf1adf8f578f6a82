// The resources inside the built kestrune.exe, read back the way the system reads them:
// dialog templates parsed field by field, the menu, icon and picture loaded, the
// manifest and the version record, and the GUI subsystem in the file's header.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tests/platform/win32/gui_driver.h"
#include "ui/certificate_list.h"

namespace kestrune {
namespace {

std::wstring kestruneProgram() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    for (int up = 0; up < 4; ++up) {
        path.erase(path.find_last_of(L"\\/"));
    }
    return path + L"\\kestrune.exe";
}

struct ModuleFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// kestrune.exe mapped for its resources only (nothing of it runs).
HMODULE program() {
    static const Module module(
        LoadLibraryExW(kestruneProgram().c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    return module.get();
}

std::span<const std::uint8_t> resourceBytes(HMODULE module, const wchar_t* type, int id) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) {
        return {};
    }
    const HGLOBAL loaded = LoadResource(module, found);
    return {static_cast<const std::uint8_t*>(LockResource(loaded)),
            static_cast<std::size_t>(SizeofResource(module, found))};
}

// A name-or-ordinal field of a dialog template.
struct NameOrOrdinal {
    std::uint16_t ordinal = 0;  // 0 when a name (or nothing) was given
    std::wstring name;
};

// A bounds-checked reader over a resource.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }

    template <typename T>
    T read() {
        T value{};
        if (at_ + sizeof(T) > bytes_.size()) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    std::wstring string() {
        std::wstring s;
        for (wchar_t c = read<wchar_t>(); ok_ && c != L'\0'; c = read<wchar_t>()) {
            s.push_back(c);
        }
        return s;
    }
    NameOrOrdinal nameOrOrdinal() {
        NameOrOrdinal v;
        const auto first = read<std::uint16_t>();
        if (first == 0xFFFF) {
            v.ordinal = read<std::uint16_t>();
        } else if (first != 0) {
            v.name.push_back(static_cast<wchar_t>(first));
            v.name += string();
        }
        return v;
    }
    void alignTo4() { at_ = (at_ + 3) & ~std::size_t{3}; }
    void skip(std::size_t n) {
        at_ += n;
        ok_ = ok_ && at_ <= bytes_.size();
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

struct ControlTemplate {
    DWORD style = 0;
    DialogRect rect;
    DWORD id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal text;
};

struct DialogTemplate {
    DWORD style = 0;
    DialogRect rect;
    std::wstring caption;
    WORD pointSize = 0;
    std::wstring typeface;
    std::vector<ControlTemplate> controls;
};

// The extended dialog template layout (DIALOGEX).
bool parseDialog(std::span<const std::uint8_t> bytes, DialogTemplate& d) {
    Reader r(bytes);
    if (r.read<WORD>() != 1 || r.read<WORD>() != 0xFFFF) {
        return false;
    }
    r.read<DWORD>();  // help id
    r.read<DWORD>();  // extended style
    d.style = r.read<DWORD>();
    const WORD count = r.read<WORD>();
    d.rect = {r.read<short>(), r.read<short>(), r.read<short>(), r.read<short>()};
    r.nameOrOrdinal();  // menu
    r.nameOrOrdinal();  // class
    d.caption = r.string();
    if (d.style & DS_SETFONT) {
        d.pointSize = r.read<WORD>();
        r.read<WORD>();  // weight
        r.read<BYTE>();  // italic
        r.read<BYTE>();  // character set
        d.typeface = r.string();
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.alignTo4();
        ControlTemplate c;
        r.read<DWORD>();  // help id
        r.read<DWORD>();  // extended style
        c.style = r.read<DWORD>();
        c.rect = {r.read<short>(), r.read<short>(), r.read<short>(), r.read<short>()};
        c.id = r.read<DWORD>();
        c.windowClass = r.nameOrOrdinal();
        c.text = r.nameOrOrdinal();
        r.skip(r.read<WORD>());  // creation data
        d.controls.push_back(c);
    }
    return r.ok();
}

// A system class, given by its ordinal or (as CONTROL statements store it) by name.
bool isButton(const NameOrOrdinal& c) {
    return c.ordinal == 0x0080 || _wcsicmp(c.name.c_str(), L"Button") == 0;
}
bool isStatic(const NameOrOrdinal& c) {
    return c.ordinal == 0x0082 || _wcsicmp(c.name.c_str(), L"Static") == 0;
}
constexpr DWORD kCentredModal = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;

// The class a control template names, by ordinal (as the statements for predefined
// controls store it) or by name.
std::wstring className(const NameOrOrdinal& c) {
    switch (c.ordinal) {
        case 0:
            return c.name;
        case 0x0080:
            return L"Button";
        case 0x0082:
            return L"Static";
        default:
            return L"#" + std::to_wstring(c.ordinal);
    }
}

struct ExpectedControl {
    DWORD id;
    const wchar_t* windowClass;
    DWORD style;  // every bit
    DialogRect rect;
    const wchar_t* text;
};

// What dialog 110 must hold, written out from the dialog's design rather than read from
// the layout header the script is built from. Styles are the visible child bits
// (0x50000000) with each statement's own: the list LVS_REPORT | WS_BORDER | WS_TABSTOP
// (0x00810001), left and right texts SS_LEFT or SS_RIGHT | WS_GROUP (0x00020000 or
// 0x00020002), the check box BS_AUTOCHECKBOX | WS_TABSTOP (0x00010003), the push button
// BS_PUSHBUTTON | WS_TABSTOP (0x00010000). In the script's order, which is the tab order.
const ExpectedControl kCertificatesControls[] = {
    {1001, L"SysListView32", 0x50810001, {7, 39, 591, 177}, L""},
    {1002, L"Static", 0x50020000, {15, 6, 114, 9}, L"Unique Certificates: "},
    {1005, L"Static", 0x50020002, {446, 6, 152, 8}, L"Count of certificates in every store: "},
    {1003, L"Static", 0x50020002, {486, 216, 114, 8}, L"Last Scan: "},
    {1004, L"Button", 0x50010003, {15, 224, 141, 12}, L"Expand Unique Certificates"},
    {1006, L"Button", 0x50010000, {534, 227, 53, 15}, L"Scan Now"},
};

TEST(TrayResources, CertificatesDialogHoldsItsSixControls) {
    ASSERT_NE(program(), nullptr) << "kestrune.exe not found at "
                                  << testing::narrowText(kestruneProgram());
    DialogTemplate d;
    ASSERT_TRUE(parseDialog(resourceBytes(program(), RT_DIALOG, 110), d));
    EXPECT_EQ(d.caption, L"Brimtal Kestrune - Certificates");
    EXPECT_EQ(d.style & kCentredModal, kCentredModal);
    EXPECT_EQ(d.rect, (DialogRect{0, 0, 605, 245}));
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.typeface, L"MS Shell Dlg");
    ASSERT_EQ(d.controls.size(), std::size(kCertificatesControls));

    for (std::size_t i = 0; i < d.controls.size(); ++i) {
        const ControlTemplate& c = d.controls[i];
        const ExpectedControl& expected = kCertificatesControls[i];
        SCOPED_TRACE(expected.id);
        EXPECT_EQ(c.id, expected.id);
        EXPECT_EQ(_wcsicmp(className(c.windowClass).c_str(), expected.windowClass), 0)
            << testing::narrowText(className(c.windowClass));
        EXPECT_EQ(c.style, expected.style) << std::hex << c.style;
        EXPECT_EQ(c.rect, expected.rect);
        EXPECT_EQ(c.text.name, expected.text);
    }
}

TEST(TrayResources, AboutDialogHasThePictureNoticeVersionAndOneButton) {
    ASSERT_NE(program(), nullptr);
    DialogTemplate d;
    ASSERT_TRUE(parseDialog(resourceBytes(program(), RT_DIALOG, 111), d));
    EXPECT_EQ(d.caption, L"Brimtal Kestrune");
    EXPECT_EQ(d.style & kCentredModal, kCentredModal);
    EXPECT_EQ(d.rect, (DialogRect{0, 0, 309, 176}));
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.typeface, L"MS Shell Dlg");
    ASSERT_EQ(d.controls.size(), 4u);

    const ControlTemplate& picture = d.controls[0];
    EXPECT_TRUE(isStatic(picture.windowClass));
    EXPECT_EQ(picture.style & SS_TYPEMASK, static_cast<DWORD>(SS_BITMAP));
    EXPECT_EQ(picture.text.ordinal, 112);
    EXPECT_EQ(picture.rect, (DialogRect{7, 7, 189, 54}));

    const ControlTemplate& notice = d.controls[1];
    EXPECT_TRUE(isStatic(notice.windowClass));
    EXPECT_EQ(notice.text.name.rfind(L"Brimtal Kestrune\n", 0), 0u);
    EXPECT_NE(notice.text.name.find(L"Copyright \u00a9 Brimtal Software."), std::wstring::npos);
    EXPECT_EQ(notice.rect, (DialogRect{56, 66, 180, 42}));

    const ControlTemplate& version = d.controls[2];
    EXPECT_EQ(version.text.name, L"Version: 1.0.0");
    EXPECT_EQ(version.rect, (DialogRect{62, 131, 88, 12}));

    const ControlTemplate& check = d.controls[3];
    EXPECT_EQ(check.id, 1006u);
    EXPECT_TRUE(isButton(check.windowClass));
    EXPECT_EQ(check.style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON));
    EXPECT_EQ(check.text.name, L"Check for Updates");
    EXPECT_EQ(check.rect, (DialogRect{51, 145, 70, 17}));
    for (const ControlTemplate& c : d.controls) {
        EXPECT_NE(c.id, static_cast<DWORD>(IDOK));
        EXPECT_NE(c.id, static_cast<DWORD>(IDCANCEL));
    }
}

TEST(TrayResources, MenuIconAndPicture) {
    ASSERT_NE(program(), nullptr);
    struct MenuDestroyer {
        void operator()(HMENU m) const { DestroyMenu(m); }
    };
    const std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer> menu(
        LoadMenuW(program(), MAKEINTRESOURCEW(109)));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu.get()), 1);  // one popup
    const HMENU popup = GetSubMenu(menu.get(), 0);
    ASSERT_EQ(GetMenuItemCount(popup), 2);
    wchar_t text[64] = {};
    GetMenuStringW(popup, 0, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"&About");
    EXPECT_EQ(GetMenuItemID(popup, 0), 40003u);
    GetMenuStringW(popup, 1, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"E&xit");
    EXPECT_EQ(GetMenuItemID(popup, 1), 40002u);

    // Icon 113 at the small and the large size, each drawn at its own size.
    for (const int size : {16, 32}) {
        const HICON icon = static_cast<HICON>(
            LoadImageW(program(), MAKEINTRESOURCEW(113), IMAGE_ICON, size, size, 0));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap = {};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        EXPECT_EQ(bitmap.bmHeight, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }

    // Bitmap 112 at the size its 189 x 54 unit frame has with the dialog font.
    const HBITMAP picture = static_cast<HBITMAP>(
        LoadImageW(program(), MAKEINTRESOURCEW(112), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(picture, nullptr);
    BITMAP bitmap = {};
    GetObjectW(picture, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, 284);
    EXPECT_EQ(bitmap.bmHeight, 88);
    DeleteObject(picture);
}

TEST(TrayResources, ManifestVersionAndSubsystem) {
    ASSERT_NE(program(), nullptr);
    const auto manifestBytes = resourceBytes(program(), RT_MANIFEST, 1);
    const std::string manifest(manifestBytes.begin(), manifestBytes.end());
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
              std::string::npos);
    const std::size_t controls = manifest.find(R"(name="Microsoft.Windows.Common-Controls")");
    ASSERT_NE(controls, std::string::npos) << manifest;
    EXPECT_NE(manifest.find(R"(version="6.0.0.0")", controls), std::string::npos);

    const std::wstring path = kestruneProgram();
    DWORD ignored = 0;
    std::vector<std::uint8_t> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(
        GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    const auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT units = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueW(version.data(), key.c_str(), reinterpret_cast<void**>(&text), &units) ||
            text == nullptr) {
            return std::wstring(L"<missing>");
        }
        return std::wstring(text);
    };
    EXPECT_EQ(value(L"FileDescription"), L"Brimtal Kestrune");
    EXPECT_EQ(value(L"ProductName"), L"Brimtal Kestrune");
    EXPECT_EQ(value(L"CompanyName"), L"Brimtal Software");
    EXPECT_EQ(value(L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(value(L"ProductVersion"), L"1.0.0.0");

    // A GUI program: no console window opens for it.
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, bytes.data(), sizeof dos);
    ASSERT_LE(static_cast<std::size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS), bytes.size());
    IMAGE_NT_HEADERS nt;
    std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof nt);
    EXPECT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
    // Built for this test's own machine: i386 in the shipped build, AMD64 in the 64-bit one.
    const auto* self = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
    IMAGE_DOS_HEADER selfDos;
    std::memcpy(&selfDos, self, sizeof selfDos);
    IMAGE_NT_HEADERS selfNt;
    std::memcpy(&selfNt, self + selfDos.e_lfanew, sizeof selfNt);
    EXPECT_EQ(nt.FileHeader.Machine, selfNt.FileHeader.Machine);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

}  // namespace
}  // namespace kestrune
