#!/usr/bin/python3
"""A throwaway FTP server (pyftpdlib) for the tests and benchmarks.

Listens on 127.0.0.1 on a port the system picks (or on --port), serves one folder with full
rights to the anonymous account and to any NAME:PASSWORD accounts given, and prints the port on
its first line of standard output once it accepts connections. It exits when its standard input reaches end of
file, so it never outlives the test that started it.
"""
import argparse
import logging
import time
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

from parent_watch import watch_parent

ALL_RIGHTS = "elradfmwMT"


PATH_COMMANDS = {"RETR", "STOR", "APPE", "STOU", "SIZE", "MDTM", "CWD", "DELE", "MKD", "RMD",
                 "RNFR", "RNTO", "LIST", "NLST", "MLSD", "MLST"}


def logged_command(handler, cmd, arg):
    """The command as the log shows it: paths made absolute, the password hidden."""
    if cmd == "PASS":
        return "PASS ****"
    if cmd in PATH_COMMANDS and handler.fs is not None:
        try:
            arg = handler.fs.ftpnorm(arg or handler.fs.cwd)
        except Exception:
            pass
    return ("%s %s" % (cmd, arg)).rstrip()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--user", action="append", default=[], help="NAME:PASSWORD account")
    parser.add_argument("--no-anonymous", action="store_true", help="refuse the anonymous account")
    parser.add_argument("--reply-delay", type=float, default=0.0,
                        help="seconds to hold back every reply after the greeting")
    parser.add_argument("--idle-timeout", type=float, default=0.0,
                        help="seconds after which an idle session is dropped (0: never)")
    parser.add_argument("--log", help="file to which one line per received command is appended")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: the system picks)")
    parser.add_argument("--tls-cert", help="offer TLS (AUTH TLS, PROT P) with this PEM certificate")
    parser.add_argument("--tls-key", help="the PEM key of --tls-cert")
    args = parser.parse_args()

    logging.basicConfig(level=logging.ERROR)
    authorizer = DummyAuthorizer()
    # Full rights for the anonymous account are the point here, not an accident.
    warnings.simplefilter("ignore", RuntimeWarning)
    if not args.no_anonymous:
        authorizer.add_anonymous(args.root, perm=ALL_RIGHTS)
    for account in args.user:
        name, _, password = account.partition(":")
        authorizer.add_user(name, password, args.root, perm=ALL_RIGHTS)

    delay = args.reply_delay
    # Names are logged with the bytes the client sent, as the handler keeps them (below).
    log = open(args.log, "a", buffering=1, errors="surrogateescape") if args.log else None

    base = TLS_FTPHandler if args.tls_cert else FTPHandler
    if args.tls_cert:
        from OpenSSL import SSL
        # TLS 1.2 at most, so that the tests meet TLS 1.2 here and TLS 1.3 from vsftpd. Data
        # connections are protected too, passive and active (DataHandler below).
        context = SSL.Context(SSL.TLS_METHOD)
        context.set_options(SSL.OP_NO_SSLv2 | SSL.OP_NO_SSLv3 | SSL.OP_NO_COMPRESSION | SSL.OP_NO_TLSv1_3)
        context.use_certificate_chain_file(args.tls_cert)
        context.use_privatekey_file(args.tls_key)
        # Data connections resume the control connection's session, as vsftpd demands.
        context.set_session_id(b"mirelo-test")
        TLS_FTPHandler.ssl_context = context

    class DataHandler(TLS_DTPHandler):
        def readable(self):
            # pyftpdlib takes a data connection that turns readable before RETR or STOR for one
            # the client has left, and closes it; under TLS that is the client's handshake, which
            # clients start as soon as they connect.
            return self._ssl_accepting or super().readable()

    class Handler(base):
        banner = "pyftpdlib test server ready."

        def respond(self, resp, logfun=logging.debug):
            # Only the greeting goes out at once, so a client can connect and then wait.
            if delay > 0 and not resp.startswith("220"):
                time.sleep(delay)
            super().respond(resp, logfun)

        def pre_process_command(self, line, cmd, arg):
            if log is not None:
                log.write("%s:%s-[%s] %s\n" % (self.remote_ip, self.remote_port, self.username or "",
                                                 logged_command(self, cmd, arg)))
            super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    if args.tls_cert:
        Handler.dtp_handler = DataHandler
    if args.idle_timeout > 0:
        Handler.timeout = args.idle_timeout
    # A refused password is answered at once; tests need no brute-force delay.
    Handler.auth_failed_timeout = 0
    Handler.permit_foreign_addresses = False
    # A file name that is not UTF-8 (Windows-1252, as the catalogues write them) reaches the disk
    # with its bytes, as on servers that do not decode names, instead of as replacement marks.
    Handler.unicode_errors = "surrogateescape"

    server = FTPServer(("127.0.0.1", args.port), Handler)
    print(server.socket.getsockname()[1], flush=True)
    watch_parent()
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
