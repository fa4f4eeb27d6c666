#!/usr/bin/python3
"""A TLS peer for the tests (Python's ssl module, on OpenSSL), with certificates of its own.

--certs FOLDER holds a test authority and a server certificate signed by it (ca.pem, ca.key,
server.pem, server.key; the server certificate names localhost and 127.0.0.1 and is valid for a
few days), and expired.pem, the same certificate for the same key but expired since yesterday;
they are made there when server.pem is missing. --expired serves the expired one. With --certs-only the script stops
there, for other servers that need the same files. Otherwise it serves TLS on 127.0.0.1 on a
port the system picks and prints the port on its first line of standard output once it accepts
connections.

Each connection gets "ready\\r\\n" right after its handshake, then every byte it sends comes back,
except that a receive holding "bye\\n" makes the server end TLS with close_notify and close, and
one holding "drop\\n" makes it close the connection under TLS, without close_notify.
The server tells what happened on standard output, one line per event:
    handshake reused=0|1 version=TLSv1.3
    handshake failed <reason>
    closed clean                     (the client ended TLS with close_notify)
    closed without close_notify      (the connection ended under TLS)
    closed by the server
It exits when its standard input reaches end of file, so it never outlives the test.
"""
import argparse
import os
import socket
import ssl
import subprocess
import sys
import threading

from parent_watch import watch_parent

print_lock = threading.Lock()


def tell(line):
    with print_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certs(folder):
    os.makedirs(folder, exist_ok=True)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.pem", "-days", "3",
            "-subj", "/CN=Mirelo test authority",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", "-new", *curve, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                  "basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "-1", "-out", "expired.pem", "-extfile", "server.ext",
            cwd=folder)
    # Written last: its presence says the folder is complete.
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "3", "-out", "server.pem", "-extfile", "server.ext",
            cwd=folder)


def serve(conn, context):
    conn.settimeout(60)
    try:
        tls = context.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
    except (ssl.SSLError, OSError) as error:
        tell("handshake failed " + str(error).replace("\n", " "))
        conn.close()
        return
    tell("handshake reused=%d version=%s" % (1 if tls.session_reused else 0, tls.version()))
    try:
        tls.sendall(b"ready\r\n")
        while True:
            data = tls.recv(65536)
            if not data:
                tell("closed clean")
                break
            if b"bye\n" in data:
                tls = tls.unwrap()
                tell("closed by the server")
                break
            if b"drop\n" in data:
                tell("closed by the server")
                break
            tls.sendall(data)
    except ssl.SSLEOFError:
        tell("closed without close_notify")
    except ssl.SSLError as error:
        if "unexpected eof" in str(error).lower():
            tell("closed without close_notify")
        else:
            tell("closed with error " + str(error).replace("\n", " "))
    except OSError as error:
        tell("closed with error " + str(error).replace("\n", " "))
    finally:
        tls.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--certs", required=True)
    parser.add_argument("--certs-only", action="store_true")
    parser.add_argument("--expired", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.certs, "server.pem")):
        make_certs(args.certs)
    if args.certs_only:
        return

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # A connection that ends without close_notify must show as such, not as a clean end.
    context.options &= ~getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
    context.load_cert_chain(os.path.join(args.certs, "expired.pem" if args.expired else "server.pem"),
                            os.path.join(args.certs, "server.key"))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    watch_parent()
    tell(str(listener.getsockname()[1]))
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
