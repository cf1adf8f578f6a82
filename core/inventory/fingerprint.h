// The SHA-256 of a certificate's DER. The 568-byte record has no room for it (its layout
// is a stored format), so fingerprints live beside the tables, index for index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune {

inline constexpr std::size_t kFingerprintBytes = 32;
using Fingerprint = std::array<std::uint8_t, kFingerprintBytes>;

// All zero stands for "not known" (the platform could not hash it, or the stored
// baseline predates fingerprints); a real SHA-256 is never all zero in practice.
inline bool isKnown(const Fingerprint& fingerprint) {
    for (const std::uint8_t b : fingerprint) {
        if (b != 0) {
            return true;
        }
    }
    return false;
}

// Lower-case hex, 64 characters; empty when not known.
inline std::string fingerprintHex(const Fingerprint& fingerprint) {
    if (!isKnown(fingerprint)) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * kFingerprintBytes);
    for (const std::uint8_t b : fingerprint) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0xF]);
    }
    return text;
}

}  // namespace kestrune
