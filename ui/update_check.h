// The About dialog's update check, toolkit-free: it asks through the desktop, fetches
// the published version through the HTTP client and tells the user what it found.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/desktop.h"
#include "ui/http_client.h"

namespace kestrune {

// The program's own version.
inline constexpr int kOwnMajor = 1;
inline constexpr int kOwnMinor = 0;
inline constexpr int kOwnPatch = 0;
inline constexpr const char* kOwnVersionText = "1.0.0";

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
std::optional<UpdateOutcome> checkForUpdates(Desktop& desktop, HttpClient& http, WindowRef dialog,
                                             const std::string& webSite = kDefaultWebSite);

}  // namespace kestrune
