#!/usr/bin/env python3
"""Runs private Firebird servers (scripts/fb-test-server.sh) for tests that
cannot run the script themselves: the Windows tests under Wine. Listens on
127.0.0.1:PORT; each connection sends one line and gets one line back:
  start [WIRECRYPT] -> "ok PORT FOLDER/"  a new server with a folder of its own
  kill FOLDER/   -> "ok"               SIGKILL, as a crash ends it
  restart FOLDER/, stop FOLDER/, remove FOLDER/ (stop, then delete the folder)
Only folders it made itself are touched. Stops by itself after --seconds."""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fb-test-server.sh")


def server_script(command, folder, wirecrypt):
    env = dict(os.environ, COLLI_FB_WIRECRYPT=wirecrypt)
    result = subprocess.run(["bash", SCRIPT, command, folder + "server"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return result.returncode == 0, result.stdout.strip()


def answer(line, folders):
    words = line.split(" ", 1)
    if words[0] == "start":
        wirecrypt = words[1] if len(words) == 2 else "Enabled"
        if wirecrypt not in ("Required", "Enabled", "Disabled"):
            return "error"
        folder = tempfile.mkdtemp(prefix="colli-server-") + "/"
        os.chmod(folder, 0o777)  # the server writes its databases here
        folders[folder] = wirecrypt
        ok, port = server_script("start", folder, wirecrypt)
        return "ok %s %s" % (port, folder) if ok else "error"
    if len(words) != 2 or words[1] not in folders:
        return "error"
    command, folder = words
    if command == "remove":
        server_script("stop", folder, folders[folder])
        shutil.rmtree(folder, ignore_errors=True)
        del folders[folder]
        return "ok"
    if command in ("kill", "restart", "stop"):
        return "ok" if server_script(command, folder, folders[folder])[0] else "error"
    return "error"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("port", type=int)
    ap.add_argument("--seconds", type=float, default=3600)
    args = ap.parse_args()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(4)
    deadline = time.monotonic() + args.seconds
    folders = {}  # folder -> its WireCrypt setting
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        while time.monotonic() < deadline:
            listener.settimeout(max(0.1, min(1.0, deadline - time.monotonic())))
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(30)
                line = b""
                try:
                    while not line.endswith(b"\n"):
                        chunk = conn.recv(1024)
                        if not chunk:
                            break
                        line += chunk
                except socket.timeout:
                    continue
                reply = answer(line.decode("utf-8", "replace").strip(), folders)
                conn.sendall(reply.encode() + b"\n")
    finally:
        for folder in list(folders):
            answer("remove " + folder, folders)


if __name__ == "__main__":
    main()
