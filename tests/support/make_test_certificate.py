#!/usr/bin/env python3
"""Makes the test certificate both platform layers are checked against, once.

Writes tests/support/test_certificate.h: the certificate's DER bytes and the record
fields every layer must compute for it, worked out here independently of the code
under test (DER walked by hand, MD5 from hashlib, the name cut by the record's rule).
The serial has its top bit set, so its DER integer carries a leading zero byte; the
common name is non-ASCII, longer than a record's 63 UTF-16 units, with a surrogate
pair straddling the cut.

Run again only to replace the certificate: python3 tests/support/make_test_certificate.py
"""
import hashlib
import os
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERIAL = "0x8a5e1c27d4b3f06914"
# 62 BMP characters, then U+1D4A6 (two UTF-16 units: 62 and 63), then one more.
PREFIX = "Kestrune Prüfzertifikat — gleiche Felder unter Wine und Linux "
COMMON_NAME = PREFIX[:62].ljust(62, ".") + "\U0001D4A6" + "!"
ORGANIZATION = "Kestrune Tests"


def der_item(data, pos):
    """(tag, content start, content end) of the DER item at pos."""
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        n = length & 0x7F
        length = int.from_bytes(data[pos:pos + n], "big")
        pos += n
    return tag, pos, pos + length


def main():
    assert len(COMMON_NAME) == 64
    with tempfile.TemporaryDirectory() as tmp:
        key = os.path.join(tmp, "key.pem")
        der = os.path.join(tmp, "cert.der")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", key], check=True)
        subprocess.run(["openssl", "req", "-new", "-x509", "-key", key, "-utf8",
                        "-subj", f"/CN={COMMON_NAME}/O={ORGANIZATION}",
                        "-set_serial", SERIAL, "-days", "36500", "-sha256",
                        "-outform", "DER", "-out", der], check=True)
        cert = open(der, "rb").read()

    # Certificate -> TBSCertificate -> [0] version, serial, signature alg, issuer,
    # validity, subject.
    _, tbs_start, _ = der_item(cert, 0)
    _, pos, _ = der_item(cert, tbs_start)
    tag, start, end = der_item(cert, pos)
    if tag == 0xA0:  # explicit version
        tag, start, end = der_item(cert, end)
    assert tag == 0x02
    serial = cert[start:end]  # the INTEGER content, sign byte included
    assert serial[0] == 0x00 and serial[1] & 0x80
    pos = end
    for _ in range(3):  # signature algorithm, issuer, validity
        _, _, pos = der_item(cert, pos)
    subject_start = pos
    _, _, subject_end = der_item(cert, pos)
    subject_md5 = hashlib.md5(cert[subject_start:subject_end]).digest()

    # The record keeps at most 63 UTF-16 units and never half a surrogate pair.
    units = COMMON_NAME.encode("utf-16-le")
    cut = 63
    if 0xD800 <= int.from_bytes(units[2 * (cut - 1):2 * cut], "little") <= 0xDBFF:
        cut -= 1
    record_name = units[:2 * cut].decode("utf-16-le")

    def c_bytes(data):
        rows = [", ".join(f"0x{b:02x}" for b in data[i:i + 12]) for i in range(0, len(data), 12)]
        return "{\n    " + ",\n    ".join(rows) + ",\n}"

    def c_text(text):
        return '"' + "".join(f"\\x{b:02x}" for b in text.encode("utf-8")) + '"'

    header = f"""// The certificate both platform layers are checked against, and the record fields
// they must compute for it. Generated once by make_test_certificate.py; do not edit.
// Subject: CN={COMMON_NAME}, O={ORGANIZATION}
#pragma once

#include <cstdint>

namespace kestrune::testing::test_certificate {{

inline constexpr std::uint8_t kDer[] = {c_bytes(cert)};

// The serial as the DER integer holds it, most significant byte first, with the leading
// zero that keeps it positive.
inline constexpr std::uint8_t kSerialMsbFirst[] = {c_bytes(serial)};

// MD5 of the DER-encoded subject name (property 29).
inline constexpr std::uint8_t kSubjectNameMd5[] = {c_bytes(subject_md5)};

// UTF-8: the common name, and the record's name field (62 units: the surrogate pair at
// units 62 and 63 does not fit in 63).
inline constexpr const char* kCommonName = {c_text(COMMON_NAME)};
inline constexpr const char* kRecordName = {c_text(record_name)};

}}  // namespace kestrune::testing::test_certificate
"""
    with open(os.path.join(HERE, "test_certificate.h"), "w", encoding="utf-8") as out:
        out.write(header)


if __name__ == "__main__":
    main()
