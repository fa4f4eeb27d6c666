#!/usr/bin/python3
"""Server certificates that a TLS client must refuse, for the FTPS tests.

Usage: ftps_certs.py FOLDER. FOLDER already holds the test authority (ca.pem, ca.key, made by
tls_server.py --certs-only). Made there, each as NAME.pem and NAME.key:
    wronghost   signed by the test authority, but for elsewhere.invalid only
    expired     signed by the test authority for localhost and 127.0.0.1, expired a year ago
    stranger    for localhost and 127.0.0.1, signed by an authority nobody trusts
"""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def name(common):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])


def write(folder, stem, cert, key):
    with open(os.path.join(folder, stem + ".pem"), "wb") as out:
        out.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(folder, stem + ".key"), "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()))


def server_cert(key, issuer_name, issuer_key, names, not_before, not_after):
    alt = [x509.DNSName(n) if not n[0].isdigit() else x509.IPAddress(ipaddress.ip_address(n)) for n in names]
    return (x509.CertificateBuilder()
            .subject_name(name(names[0])).issuer_name(issuer_name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(alt), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .sign(issuer_key, hashes.SHA256()))


def main():
    folder = sys.argv[1]
    with open(os.path.join(folder, "ca.pem"), "rb") as f:
        ca = x509.load_pem_x509_certificate(f.read())
    with open(os.path.join(folder, "ca.key"), "rb") as f:
        ca_key = serialization.load_pem_private_key(f.read(), password=None)
    now = datetime.datetime.now(datetime.timezone.utc)
    day = datetime.timedelta(days=1)
    local = ["localhost", "127.0.0.1"]

    key = ec.generate_private_key(ec.SECP256R1())
    write(folder, "wronghost", server_cert(key, ca.subject, ca_key, ["elsewhere.invalid"], now - day, now + 3 * day), key)

    key = ec.generate_private_key(ec.SECP256R1())
    write(folder, "expired", server_cert(key, ca.subject, ca_key, local, now - 400 * day, now - 365 * day), key)

    stranger_key = ec.generate_private_key(ec.SECP256R1())
    stranger = name("Unknown authority")
    key = ec.generate_private_key(ec.SECP256R1())
    write(folder, "stranger", server_cert(key, stranger, stranger_key, local, now - day, now + 3 * day), key)


if __name__ == "__main__":
    main()
