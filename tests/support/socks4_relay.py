#!/usr/bin/python3
"""A small SOCKS 4 / 4A relay for the tests (danted has no 4A).

Listens on 127.0.0.1 on a port the system picks and prints the port on its first line of standard
output. For every CONNECT request it prints one line, "4 ADDRESS PORT USERID" or
"4A NAME PORT USERID", then connects to the destination from the address given with --source
(so the destination sees where proxied connections come from) and relays both ways until either
side closes. Destinations outside 127.0.0.0/8 are refused with code 91: the tests never leave the
loopback network. It exits when its standard input reaches end of file.
"""
import argparse
import ipaddress
import socket
import struct
import threading

from parent_watch import watch_parent

GRANTED, REJECTED = 90, 91
print_lock = threading.Lock()


def say(line):
    with print_lock:
        print(line, flush=True)


def read_exactly(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise ConnectionError("client went away")
        data += chunk
    return data


def read_zero_terminated(conn, limit=1024):
    data = b""
    while len(data) < limit:
        byte = read_exactly(conn, 1)
        if byte == b"\0":
            return data
        data += byte
    raise ConnectionError("field too long")


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        # Pass the end of stream on, so the other side sees the close.
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def reply(conn, code, port=0, address=b"\0\0\0\0"):
    conn.sendall(struct.pack("!BBH", 0, code, port) + address)


def serve(conn, source):
    try:
        version, command, port = struct.unpack("!BBH", read_exactly(conn, 4))
        address = read_exactly(conn, 4)
        userid = read_zero_terminated(conn).decode("latin-1")
        if version != 4 or command != 1:
            reply(conn, REJECTED)
            return
        if address[:3] == b"\0\0\0" and address[3] != 0:
            name = read_zero_terminated(conn).decode("latin-1")
            say("4A %s %d %s" % (name, port, userid))
            try:
                target = socket.gethostbyname(name)
            except OSError:
                reply(conn, REJECTED)
                return
        else:
            target = socket.inet_ntoa(address)
            say("4 %s %d %s" % (target, port, userid))
        if not ipaddress.ip_address(target).is_loopback:
            reply(conn, REJECTED)
            return
        try:
            upstream = socket.create_connection((target, port), timeout=10, source_address=(source, 0))
        except OSError:
            reply(conn, REJECTED)
            return
        upstream.settimeout(None)
        reply(conn, GRANTED, port, socket.inet_aton(target))
        back = threading.Thread(target=pump, args=(upstream, conn), daemon=True)
        back.start()
        pump(conn, upstream)
        back.join()
        upstream.close()
    except (OSError, ConnectionError):
        pass
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", default="127.0.0.1", help="local address of proxied connections")
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    say(str(listener.getsockname()[1]))
    watch_parent()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args.source), daemon=True).start()


if __name__ == "__main__":
    main()
