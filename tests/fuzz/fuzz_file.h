// How the certificate fuzz targets turn their input into a file: byte 0 picks the form
// of the rest, 1 a base64 "CERTIFICATE" block, 2 a "TRUSTED CERTIFICATE" block, anything
// else the bytes as they are. Needs at least one byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune {

inline std::string base64(const std::uint8_t* data, std::size_t size) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t chunk = (data[i] << 16) | (i + 1 < size ? data[i + 1] << 8 : 0) |
                                    (i + 2 < size ? data[i + 2] : 0);
        out.push_back(kAlphabet[chunk >> 18 & 63]);
        out.push_back(kAlphabet[chunk >> 12 & 63]);
        out.push_back(i + 1 < size ? kAlphabet[chunk >> 6 & 63] : '=');
        out.push_back(i + 2 < size ? kAlphabet[chunk & 63] : '=');
        if (out.size() % 65 == 64) {
            out.push_back('\n');
        }
    }
    return out;
}

inline std::string makeFile(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t mode = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (mode != 1 && mode != 2) {
        return rest;
    }
    const std::string label = mode == 1 ? "CERTIFICATE" : "TRUSTED CERTIFICATE";
    return "-----BEGIN " + label + "-----\n" + base64(data + 1, size - 1) + "\n-----END " + label +
           "-----\n";
}

}  // namespace kestrune
