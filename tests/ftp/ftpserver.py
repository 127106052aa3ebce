#!/usr/bin/python3
"""A small FTP server on loopback for the FTP intake tests and benchmark.

It serves one folder to one user, picks a free port unless told one, and
prints "PORT <n>" once it listens. It can slow down (down to a trickle of a
byte a second) or cut off downloads, refuse the download or the deletion of
chosen files, and hide MLSD, so that the client's fall-back to LIST is
exercised.
With --certfile it speaks FTP over explicit TLS (AUTH TLS) only, control
and data, with the certificate and key in that file.

It ends when its standard input closes, so a test that dies leaves no server
behind.

With --faults FILE it also misbehaves as that file says, read anew at every
command so that a test can bring a fault in and take it away while the
server runs. The file holds a JSON list of rules (a missing file: none):

  {"cmd": "RETR", "name": "a.pdf", "times": 1, "action": ...}

"cmd" is one command or a list of them, "name" (optional) the file name the
command's argument must end in, "times" (optional) how often the rule fires.
Actions:
  "reply"  answer {"code": 421|425|426|450|550, ...} instead of doing the
           command; 421 also closes the control connection.
  "cut"    (RETR) send "after" bytes, then close the data connection and
           answer "then": "426" (the default), "226" (a short transfer
           reported complete) or "drop" (the control connection closed too,
           before any reply).
  "stall"  (RETR) send "after" bytes, then nothing for "seconds" seconds
           while the rest of the server goes on, then the rest.
"""

import argparse
import json
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, FTPHandler, ThrottledDTPHandler
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
    parser.add_argument("--faults", default="", help="JSON file of fault rules (see above)")
    parser.add_argument("--certfile", default="",
                        help="PEM certificate and key: TLS required (AUTH TLS, PROT P)")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)

    log_lock = threading.Lock()

    def log(text):
        if args.log:
            with log_lock, open(args.log, "a", encoding="utf-8") as f:
                f.write(text + "\n")

    fired = {}  # how often each rule has fired, by its text

    def take_rule(cmd, arg):
        """The first rule of the faults file that fires for this command."""
        if not args.faults:
            return None
        try:
            with open(args.faults, encoding="utf-8") as f:
                rules = json.load(f)
        except (OSError, ValueError):
            return None
        for rule in rules:
            cmds = rule.get("cmd", [])
            if isinstance(cmds, str):
                cmds = [cmds]
            if cmd not in cmds:
                continue
            if "name" in rule and not (arg or "").endswith(rule["name"]):
                continue
            key = json.dumps(rule, sort_keys=True)
            if "times" in rule and fired.get(key, 0) >= rule["times"]:
                continue
            fired[key] = fired.get(key, 0) + 1
            return rule
        return None

    # pyftpdlib's own throttling sends a whole buffer at once and only then
    # pauses, so a client would see the data arrive in one piece. Here each
    # send is a small piece followed by a pause, so that downloads really
    # trickle in; the pause blocks the whole server, which serves one test
    # client at a time.
    chunk = min(8192, args.throttle) if args.throttle else 8192

    class DataHandler(ThrottledDTPHandler):  # never uses sendfile
        sent = 0

        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            # The fault of the RETR that opened this transfer, taken at its
            # first send (the command is done by then).
            self.fault = None
            self.fault_taken = False
            self.fault_due = False
            self.fault_sent = 0

        def handle_close(self):
            # A fault at the very end of the file ("after" its size) comes
            # where the transfer would be reported complete.
            if self.fault is not None and self.fault["action"] != "stall":
                self.apply_fault()
                return
            super().handle_close()

        def apply_fault(self):
            rule, self.fault = self.fault, None
            if rule is None or self._closed:
                return
            log("FAULT %s after %d" % (rule["action"], self.fault_sent))
            if rule["action"] == "stall":
                def resume():
                    if not self._closed:
                        self.add_channel(events=self.ioloop.WRITE)
                self.del_channel()
                self.ioloop.call_later(rule.get("seconds", 10), resume,
                                       _errback=self.handle_error)
                return
            then = rule.get("then", "426")
            if then == "226":
                self.transfer_finished = True
                self._resp = ("226 Transfer complete.", lambda *a: None)
            elif then == "drop":
                self._resp = None
            else:
                self.transfer_finished = False
                self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
            control = self.cmd_channel
            self.close()
            if then == "drop":
                control.close()

        def send(self, data):
            if not self.fault_taken and self.file_obj is not None:
                self.fault_taken = True
                self.fault = getattr(self.cmd_channel, "data_fault", None)
            if self.fault is not None and self.file_obj is not None:
                left = self.fault.get("after", 0) - self.fault_sent
                if left <= 0:
                    if not self.fault_due:
                        self.fault_due = True
                        self.ioloop.call_later(0, self.apply_fault, _errback=self.handle_error)
                    return 0
                data = data[:left]
            # Files only: listings come at once, so that a test can reach
            # the download it slows down.
            if args.throttle and self.file_obj is not None:
                data = data[:chunk]
                time.sleep(len(data) / args.throttle)
            n = super().send(data)
            self.fault_sent += n
            if args.cut_after:
                DataHandler.sent += n
                if DataHandler.sent >= args.cut_after:
                    log("CUT")
                    os._exit(3)
            return n

    class ActiveConnector(ActiveDTP):
        """pyftpdlib keeps the connector of a PORT after its connection is
        made, and closes it at the next PORT: by its old socket number,
        which by then may be another client's control connection, that then
        drops out of the server's loop and is never answered again. Done
        connecting, it is forgotten here."""

        def handle_connect(self):
            control = self.cmd_channel
            super().handle_connect()
            if control._dtp_connector is self:
                control._dtp_connector = None

    control_base, data_handler = FTPHandler, DataHandler
    if args.certfile:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        class TlsDataHandler(TLS_DTPHandler, DataHandler):
            """The encryption's handshake and errors around the faults."""

            def readable(self):
                # A client may start the handshake before it sends the
                # command; pyftpdlib would take that for a hang-up.
                return self._ssl_accepting or super().readable()

        control_base, data_handler = TLS_FTPHandler, TlsDataHandler

    class Handler(control_base):
        authorizer_ = authorizer
        active_dtp = ActiveConnector
        dtp_handler = data_handler
        if args.certfile:
            from OpenSSL import SSL

            # A session context, so that the data connections may resume
            # the control connection's session as clients do.
            ssl_context = SSL.Context(SSL.TLS_METHOD)
            ssl_context.use_certificate_chain_file(args.certfile)
            ssl_context.use_privatekey_file(args.certfile)
            ssl_context.set_session_id(b"zentrafold-test")
            tls_control_required = True
            tls_data_required = True
        passive_ports = None
        permit_privileged_ports = True
        # pyftpdlib waits 3 seconds before refusing a wrong password.
        auth_failed_timeout = 0.2

        def on_connect(self):
            log("CONNECT")

        def pre_process_command(self, line, cmd, arg):
            log("PASS ******" if cmd == "PASS" else line)
            rule = take_rule(cmd, arg)
            self.data_fault = None
            if rule is not None and rule.get("action") == "reply":
                code = int(rule.get("code", 550))
                log("FAULT reply %d" % code)
                self.respond("%d %s" % (code, rule.get("text", "Refused by the test.")))
                if code == 421:
                    self.close_when_done()
                return None
            if rule is not None and cmd == "RETR":
                self.data_fault = rule
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
