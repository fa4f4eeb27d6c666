#!/usr/bin/python3
"""Runs ftp_server.py (beside this file) on a fixed port of 127.0.0.1.

Usage: ftp_server_on_port.py PORT ARGUMENTS-OF-ftp_server.py...

For partners that only ever connect to one port, such as ftp-proxy, which always goes to port 21
of the host it is given. Everything else, the first line with the port included, is ftp_server.py's.
"""
import os
import runpy
import sys

from pyftpdlib import servers

port = int(sys.argv[1])
original_init = servers.FTPServer.__init__


def init_on_port(self, address_or_socket, handler, *args, **kwargs):
    if isinstance(address_or_socket, tuple):
        address_or_socket = (address_or_socket[0], port)
    original_init(self, address_or_socket, handler, *args, **kwargs)


servers.FTPServer.__init__ = init_on_port
sys.argv = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")] + sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
