#!/usr/bin/env python3
"""Calls one method of lumen_server through the relay lumen_sci and prints the result as JSON.

    lumen_call.py [--sci COMMAND] [--timeout SECONDS] [--verbose] METHOD [PARAMETER ...]

Examples:
    lumen_call.py Live.ListSessions
    lumen_call.py Live.Start "$(openssl rand -hex 16)" xterm 1280x800
    lumen_call.py Live.Resume 0123456789abcdef0123456789abcdef
    lumen_call.py --sci "ssh me@host lumen_sci" Live.ListSessions

The parameters are passed as JSON strings, by position. Without --sci the relay of this checkout's
build (build/bin/lumen_sci) is used when there is one, else "lumen_sci" from the PATH; a server that
the relay starts inherits this PATH, so it finds the launchers next to the programs.

Exit status: 0 with the result on standard output; 1 when the server answered with an error
(its message on standard error); 2 for wrong arguments; 3 when no answer came.
"""

import argparse
import json
import os
import pwd
import select
import shlex
import subprocess
import sys
import tempfile
import time

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_NO_ANSWER = 0, 1, 2, 3
MAX_FRAME = 64 * 1024 * 1024


class NoAnswer(Exception):
    pass


def encode_frame(payload):
    return str(len(payload)).encode("ascii") + b":" + payload + b","


class FrameReader:
    """Cuts NetString frames out of what the relay writes to its standard output."""

    def __init__(self, stream, deadline):
        self.fd = stream.fileno()
        self.deadline = deadline
        self.buffer = b""

    def _fill(self):
        remaining = self.deadline - time.monotonic()
        if remaining <= 0 or not select.select([self.fd], [], [], remaining)[0]:
            raise NoAnswer("no answer in time")
        chunk = os.read(self.fd, 65536)
        if not chunk:
            raise NoAnswer("lumen_sci ended without an answer")
        self.buffer += chunk

    def next_frame(self):
        while True:
            colon = self.buffer.find(b":")
            if colon >= 0:
                length_text = self.buffer[:colon]
                if not length_text.isdigit() or len(length_text) > 9 or int(length_text) > MAX_FRAME:
                    raise NoAnswer("the answer is not a NetString frame")
                length = int(length_text)
                if len(self.buffer) >= colon + length + 2:
                    if self.buffer[colon + 1 + length:colon + 2 + length] != b",":
                        raise NoAnswer("the answer is not a NetString frame")
                    payload = self.buffer[colon + 1:colon + 1 + length]
                    self.buffer = self.buffer[colon + 2 + length:]
                    return payload
            elif len(self.buffer) > 10:
                raise NoAnswer("the answer is not a NetString frame")
            self._fill()


def relay_command(sci):
    """The command line of the relay and the environment it runs in."""
    environment = dict(os.environ)
    # The server runs once per USER: without it a second server would start on the same files.
    if not environment.get("USER"):
        environment["USER"] = pwd.getpwuid(os.getuid()).pw_name
    if sci:
        return shlex.split(sci), environment
    build_bin = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build", "bin")
    build_bin = os.path.normpath(build_bin)
    if os.access(os.path.join(build_bin, "lumen_sci"), os.X_OK):
        environment["PATH"] = build_bin + os.pathsep + environment.get("PATH", "")
        return [os.path.join(build_bin, "lumen_sci")], environment
    return ["lumen_sci"], environment


def call(command, environment, method, parameters, timeout, log):
    request = {"id": 1, "jsonrpc": "2.0", "method": method}
    if parameters:
        request["params"] = parameters
    payload = json.dumps(request, separators=(",", ":"), sort_keys=True).encode("utf-8") + b"\n"
    relay = subprocess.Popen(command, env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=log)
    try:
        relay.stdin.write(encode_frame(payload))
        relay.stdin.flush()
        reader = FrameReader(relay.stdout, time.monotonic() + timeout)
        while True:
            try:
                message = json.loads(reader.next_frame().decode("utf-8"))
            except ValueError:
                raise NoAnswer("the answer is not JSON")
            # "UpdateSessions" and other notifications carry no id.
            if isinstance(message, dict) and message.get("id") == 1:
                if "result" not in message and "error" not in message:
                    raise NoAnswer("the answer is not a JSON-RPC response")
                return message
    except BrokenPipeError:
        raise NoAnswer("lumen_sci ended before the request was sent")
    finally:
        try:
            relay.stdin.close()
        except BrokenPipeError:
            pass
        try:
            relay.wait(timeout=15)
        except subprocess.TimeoutExpired:
            relay.kill()
            relay.wait()


def main():
    parser = argparse.ArgumentParser(
        description="Calls one method of lumen_server through lumen_sci and prints the result as JSON.")
    parser.add_argument("--sci", help='command that runs the relay, e.g. "ssh me@host lumen_sci"')
    parser.add_argument("--timeout", type=float, default=120.0,
                        help="seconds to wait for the answer (default 120)")
    parser.add_argument("--verbose", action="store_true", help="show what the relay logs")
    parser.add_argument("method", help="e.g. Live.ListSessions, Live.Start, Live.Resume, Live.Terminate")
    parser.add_argument("parameters", nargs="*", help="string parameters, by position")
    arguments = parser.parse_args()

    command, environment = relay_command(arguments.sci)
    with tempfile.TemporaryFile() as log:
        def show_log():
            log.seek(0)
            sys.stderr.write(log.read().decode("utf-8", "replace"))

        try:
            response = call(command, environment, arguments.method, arguments.parameters,
                            arguments.timeout, log)
        except OSError as error:
            print(f"lumen_call: cannot run {shlex.join(command)}: {error.strerror}", file=sys.stderr)
            return EXIT_NO_ANSWER
        except NoAnswer as error:
            show_log()
            print(f"lumen_call: {arguments.method}: {error}", file=sys.stderr)
            return EXIT_NO_ANSWER
        if arguments.verbose:
            show_log()

    if "error" in response:
        error = response["error"] if isinstance(response["error"], dict) else {}
        print(f"lumen_call: {arguments.method} failed: {error.get('message', '')} "
              f"(code {error.get('code')})", file=sys.stderr)
        return EXIT_ERROR
    print(json.dumps(response.get("result"), indent=2, sort_keys=True))
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
