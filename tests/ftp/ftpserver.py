#!/usr/bin/python3
"""A small FTP server on loopback for the FTP intake tests and benchmark.

It serves one folder to one user, picks a free port unless told one, and
prints "PORT <n>" once it listens. It can slow down (down to a trickle of a
byte a second) or cut off downloads, refuse the download or the deletion of
chosen files, and hide MLSD, so that the client's fall-back to LIST is
exercised.
It ends when its standard input closes, so a test that dies leaves no server
behind.
"""

import argparse
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True, help="folder served as the user's home")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", default="zf")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--perm", default="elradfmwMT", help="pyftpdlib permission letters")
    parser.add_argument("--list-only", action="store_true", help="no MLSD/MLST: LIST only")
    parser.add_argument("--refuse-mlsd", action="store_true",
                        help="announce MLST in FEAT but refuse MLSD with 502")
    parser.add_argument("--throttle", type=int, default=0,
                        help="bytes per second sent, in pieces of at most a second's worth")
    parser.add_argument("--refuse-retr", action="append", default=[], metavar="NAME",
                        help="answer RETR of this file name with 550 (repeatable)")
    parser.add_argument("--refuse-dele", action="append", default=[], metavar="NAME",
                        help="answer DELE of this file name with 550 (repeatable)")
    parser.add_argument("--cut-after", type=int, default=0,
                        help="end the whole server once a download has sent this many bytes")
    parser.add_argument("--log", default="", help="file that receives every command line")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)

    log_lock = threading.Lock()

    def log(text):
        if args.log:
            with log_lock, open(args.log, "a", encoding="utf-8") as f:
                f.write(text + "\n")

    # pyftpdlib's own throttling sends a whole buffer at once and only then
    # pauses, so a client would see the data arrive in one piece. Here each
    # send is a small piece followed by a pause, so that downloads really
    # trickle in; the pause blocks the whole server, which serves one test
    # client at a time.
    chunk = min(8192, args.throttle) if args.throttle else 8192

    class DataHandler(ThrottledDTPHandler):  # never uses sendfile
        sent = 0

        def send(self, data):
            # Files only: listings come at once, so that a test can reach
            # the download it slows down.
            if args.throttle and self.file_obj is not None:
                data = data[:chunk]
                time.sleep(len(data) / args.throttle)
            n = super().send(data)
            if args.cut_after:
                DataHandler.sent += n
                if DataHandler.sent >= args.cut_after:
                    log("CUT")
                    os._exit(3)
            return n

    class Handler(FTPHandler):
        authorizer_ = authorizer
        dtp_handler = DataHandler
        passive_ports = None
        permit_privileged_ports = True
        # pyftpdlib waits 3 seconds before refusing a wrong password.
        auth_failed_timeout = 0.2

        def on_connect(self):
            log("CONNECT")

        def pre_process_command(self, line, cmd, arg):
            log("PASS ******" if cmd == "PASS" else line)
            return super().pre_process_command(line, cmd, arg)

        def ftp_RETR(self, file):
            if os.path.basename(file) in args.refuse_retr:
                self.respond("550 This file may not be read.")
                return None
            return super().ftp_RETR(file)

        def ftp_DELE(self, path):
            if os.path.basename(path) in args.refuse_dele:
                self.respond("550 This file may not be deleted.")
                return None
            return super().ftp_DELE(path)

        def ftp_MLSD(self, path):
            if args.refuse_mlsd:
                self.respond("502 Command not implemented.")
                return None
            return super().ftp_MLSD(path)

    Handler.authorizer = authorizer
    if args.list_only:
        Handler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items()
                              if k not in ("MLSD", "MLST")}
    # Quiet: the tests read the command log, not pyftpdlib's own output.
    import logging
    logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 256
    port = server.socket.getsockname()[1]
    print("PORT %d" % port, flush=True)

    def watch_stdin():
        try:
            while sys.stdin.read(1):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
