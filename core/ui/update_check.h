// The About dialog's update check, toolkit-free: it asks through the notifier, fetches
// the published version through the HTTP client and tells the user what it found.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/http_client.h"
#include "ui/notifier.h"

namespace kestrune {

// One number of a "major.minor.patch" text; 0 for a part the text lacks. project()
// accepts only digits and dots there, so nothing else needs handling.
constexpr int versionPart(std::string_view text, int index) {
    int part = 0;
    int value = 0;
    for (const char c : text) {
        if (c == '.') {
            if (part == index) {
                return value;
            }
            ++part;
            value = 0;
        } else {
            value = value * 10 + (c - '0');
        }
    }
    return part == index ? value : 0;
}

// The program's own version: the build's project() version, passed in as KESTRUNE_VERSION.
inline constexpr const char* kOwnVersionText = KESTRUNE_VERSION;
inline constexpr int kOwnMajor = versionPart(kOwnVersionText, 0);
inline constexpr int kOwnMinor = versionPart(kOwnVersionText, 1);
inline constexpr int kOwnPatch = versionPart(kOwnVersionText, 2);

// The maker's web site as built in; tests and tools pass their own.
inline constexpr const char* kDefaultWebSite = KESTRUNE_WEB_SITE;

// The reply is read once into a buffer of this size and the text must end inside it,
// so at most kVersionReplyBuffer - 1 bytes of it are looked at.
inline constexpr std::size_t kVersionReplyBuffer = 1024;

inline constexpr const char* kUpdateConfirmText =
    "Brimtal Kestrune will attempt to connect to the Internet to learn if there are updates "
    "available.\r\n\r\nProceed?";
inline constexpr const char* kUpdateConfirmCaption = "Brimtal Kestrune: Check for updates";
inline constexpr const char* kUpdateFailedText =
    "Brimtal Kestrune could not connect to the Internet to check for updates.\r\nPlease check "
    "your Internet connection and try again.";
inline constexpr const char* kUpdateFailedCaption = "Brimtal Kestrune";
inline constexpr const char* kVersionInfoCaption = "Brimtal Kestrune Version Information";
inline constexpr const char* kMostCurrentText =
    "You have the most current version of Brimtal Kestrune.\r\nThere are no updates available "
    "at this time.";
inline constexpr const char* kNewerAvailableText =
    "There is a newer version of Brimtal Kestrune available.  \r\nDo you want to visit the QUILD "
    "homepage on the Internet to learn more?";
inline constexpr const char* kOwnNewerText =
    "Your version of Brimtal Kestrune is newer than the current release version (perhaps you "
    "are running a Beta).\r\nDo you want to visit the Brimtal Kestrune homepage on the Internet "
    "to learn more?";

// Splits text at every "." into *parts (replacing what it held): the pieces between the
// dots in order, the last one being whatever follows the last dot (possibly empty).
// Returns the number of pieces, at least 1; a null text or a null parts gives -1 and
// leaves *parts alone.
int splitVersion(const char* text, std::vector<std::string>* parts);

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
    friend bool operator==(const Version&, const Version&) = default;
};

// The published version in a version-file reply: the text ends at the first zero byte
// and never goes past kVersionReplyBuffer - 1 bytes; each of the first three parts gives
// its leading integer (blanks skipped, 0 when it has no digits, capped at the largest
// int), missing parts are 0 and further parts are ignored. Empty when the first part
// holds no digits: such a reply says nothing about any version.
std::optional<Version> readPublishedVersion(std::string_view reply);

enum class UpdateOutcome { MostCurrent, NewerAvailable, OwnNewer, CheckFailed };

// What a finished request means: anything but a complete 200 reply whose first part has
// digits is a failed check; otherwise (major, minor, patch) are compared in that order.
UpdateOutcome decideUpdate(const HttpResult& result, const Version& own);

std::string versionFileUrl(const std::string& webSite);
std::string productPageUrl(const std::string& webSite);
std::string updateUserAgent(const std::string& webSite);

// Check for Updates, the whole way: the OK/Cancel confirmation owned by the dialog, the
// one GET of the version file, the result box, and the product page after a Yes.
// Returns what was found, or nullopt when the user cancelled (nothing was sent then).
std::optional<UpdateOutcome> checkForUpdates(Notifier& notifier, HttpClient& http, WindowRef dialog,
                                             const std::string& webSite = kDefaultWebSite);

}  // namespace kestrune
