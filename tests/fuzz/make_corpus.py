#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/. Run it again after
changing an input format; the seeds are kept in the repository."""
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def text_field(text):
    units = text.encode("utf-16-le")[: 63 * 2]
    return units + b"\0" * (128 - len(units))


def record(name, serial, md5, store="Root", location="LocalMachine"):
    """One 568-byte certificate record: serial most significant byte first."""
    r = text_field(name)
    r += serial + b"\0" * (64 - len(serial))
    r += struct.pack("<i", len(serial))
    r += md5 + b"\0" * (112 - len(md5))
    r += text_field(store) + text_field(location)
    r += struct.pack("<i", len(md5))
    assert len(r) == 568
    return r


def sample(i):
    return record(f"Sample CA {i}", bytes([0x5A, i, i * 7 % 256]), bytes((i * 31 + k) % 256 for k in range(16)))


def count_text(n, terminator=False):
    return str(n).encode("utf-16-le") + (b"\0\0" if terminator else b"")


def baseline_input(switches, text, blob):
    return bytes([switches]) + struct.pack("<H", len(text)) + text + blob


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


COUNT, DATA, BINARY, BEFORE, YES, MORE = 1, 2, 4, 8, 16, 32
three = sample(1) + sample(2) + sample(3)
odd = bytearray(sample(4))
odd[192:196] = struct.pack("<i", -5)  # serial length out of range
odd[564:568] = struct.pack("<i", 4000)  # hash length past its field
odd[0:128] = "X".encode("utf-16-le") * 64  # name without a terminator
seeds = {
    "three": baseline_input(COUNT | DATA, count_text(3), three),
    "three_terminated": baseline_input(COUNT | DATA | YES, count_text(3, True), three),
    "empty": baseline_input(COUNT | DATA, count_text(0), b""),
    "no_count": baseline_input(DATA | BEFORE, b"", three),
    "no_data": baseline_input(COUNT | BEFORE, count_text(3), b""),
    "short_blob": baseline_input(COUNT | DATA | BEFORE, count_text(3), three[:-100]),
    "long_blob": baseline_input(COUNT | DATA | YES, count_text(1), three),
    "huge_count": baseline_input(COUNT | DATA | BINARY, count_text(99999999999), three),
    "odd_text": baseline_input(COUNT | DATA, count_text(2)[:-1], three),
    "dropped_and_new": baseline_input(COUNT | DATA | YES | MORE | (2 << 6), count_text(3), three),
    "odd_record": baseline_input(COUNT | DATA | YES | MORE, count_text(2), sample(5) + bytes(odd)),
}
for name, data in seeds.items():
    write("baseline_load_fuzz", name, data)

replies = {
    "current": b"1.0.0",
    "current_newline": b"1.0.0\r\n",
    "newer_patch": b"1.0.1",
    "newer_major_only": b"3",
    "older": b"0.9.9",
    "zero": b"0.0.0",
    "empty": b"",
    "blanks": b" 1 .\t0. 0",
    "four_parts": b"1.0.0.7",
    "huge": b"99999999999.0.0",
    "negative": b"-1.0.0",
    "text": b"<html>Not found</html>",
    "zero_byte": b"1.\x002.0",
    "trailing_dot": b"1.",
    "long": b"2." + b"0" * 1100,
}
for name, body in replies.items():
    write("update_reply_fuzz", name + "_yes", b"\x01" + body)
    write("update_reply_fuzz", name + "_no", b"\x00" + body)


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True, capture_output=True).stdout


def certificate(tmp, subject, serial, extensions=()):
    """A small self-signed P-256 certificate, as PEM."""
    key = os.path.join(tmp, "key.pem")
    if not os.path.exists(key):
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key)
    args = ["req", "-x509", "-new", "-key", key, "-days", "3650", "-subj", subject,
            "-set_serial", serial, "-utf8", "-nameopt", "utf8"]
    for ext in extensions:
        args += ["-addext", ext]
    return openssl(*args)


with tempfile.TemporaryDirectory() as tmp:
    cn = certificate(tmp, "/CN=Kestrune Seed CA/O=Kestrune Tests", "0x8a5e1c27d4b3f06914")
    org = certificate(tmp, "/O=Only An Organisation/C=DE", "1")
    mail = certificate(tmp, "/C=FR", "0x7fffffff", ["subjectAltName=email:seed@example.com"])
    wide = certificate(tmp, "/CN=Prüfzertifikat " + "\U0001D4A6" * 45 + "/OU=Kestrune", "12345")
    trusted = openssl("x509", "-trustout", "-addtrust", "serverAuth", data=cn)
    cn_der = openssl("x509", "-outform", "DER", data=cn)
    org_der = openssl("x509", "-outform", "DER", data=org)

seeds = {
    "pem_common_name": b"\0" + cn,
    "pem_organisation_only": b"\0" + org,
    "pem_email_only": b"\0" + mail,
    "pem_long_utf8_name": b"\0" + wide,
    "pem_trusted": b"\0" + trusted,
    "pem_bundle_with_text": b"\0# a bundle\n" + cn + b"\nsome words\n" + org
    + b"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n" + mail,
    "pem_bad_base64": b"\0-----BEGIN CERTIFICATE-----\nMII*not base64*\n-----END CERTIFICATE-----\n",
    "pem_no_end": b"\0" + cn[: len(cn) // 2],
    "pem_mismatched_end": b"\0" + cn.replace(b"END CERTIFICATE", b"END X509 CRL"),
    "der": b"\3" + cn_der,
    "der_cut": b"\3" + cn_der[:-40],
    "wrapped_der": b"\1" + org_der,
    "wrapped_trusted_der": b"\2" + openssl("x509", "-outform", "DER", data=trusted),
}
for name, data in seeds.items():
    write("cert_file_fuzz", name, data)
    write("record_extractor_fuzz", name, data)  # the same input format


def keytool(*args):
    subprocess.run(["keytool", *args], check=True, capture_output=True)


def keystore(tmp, name, kind, certs, options=(), pair=False):
    """A keystore made by the JDK's keytool under the password changeit."""
    path = os.path.join(tmp, name)
    store = ["-storetype", kind, "-keystore", path, "-storepass", "changeit"]
    if pair:
        keytool("-genkeypair", "-keyalg", "EC", "-groupname", "secp256r1", "-validity", "3650",
                "-dname", "CN=Seed Pair", "-alias", "pair", "-keypass", "changeit", *store)
    for alias, pem in certs.items():
        file = os.path.join(tmp, alias + ".pem")
        with open(file, "wb") as f:
            f.write(pem)
        keytool(*options, "-importcert", "-noprompt", "-alias", alias, "-file", file, *store)
    with open(path, "rb") as f:
        return f.read()


with tempfile.TemporaryDirectory() as tmp:
    both = {"seed": cn, "org": org}
    keystores = {
        "jks": keystore(tmp, "jks", "JKS", both),
        "jks_pair": keystore(tmp, "jks_pair", "JKS", {"seed": cn}, pair=True),
        "jceks": keystore(tmp, "jceks", "JCEKS", {"org": org}),
        "pkcs12": keystore(tmp, "p12", "PKCS12", both),
        "pkcs12_pair": keystore(tmp, "p12_pair", "PKCS12", {"org": org}, pair=True),
        "pkcs12_no_mac": keystore(tmp, "p12_open", "PKCS12", both, (
            "-J-Dkeystore.pkcs12.certProtectionAlgorithm=NONE",
            "-J-Dkeystore.pkcs12.macAlgorithm=NONE")),
    }
for name, data in keystores.items():
    write("java_keystore_fuzz", name, b"\0" + data)
    write("java_keystore_fuzz", name + "_changeit", b"\1" + data)
write("java_keystore_fuzz", "jks_cut", b"\0" + keystores["jks"][:-30])
