#!/usr/bin/python3
# A loopback FTP server for the tests (Debian's python3-pyftpdlib): one user
# with a home folder. It writes the port it listens on to standard output once
# the socket accepts connections, then serves until it is terminated.
import argparse
import ctypes
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--parent", type=int, default=0)
    args = parser.parse_args()

    # A test that dies must not leave its server running.
    try:
        ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if args.parent and os.getppid() != args.parent:
        sys.exit(1)

    # pyftpdlib logs every command; the tests need none of it.
    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "test server ready"
    # answer a wrong password at once (the default delay slows every test)
    Handler.auth_failed_timeout = 0

    server = FTPServer(("127.0.0.1", args.port), Handler)
    print(server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
