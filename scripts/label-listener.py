#!/usr/bin/env python3
"""Plays a network label printer: every connection on 127.0.0.1:PORT is one
label, saved as OUTDIR/label-NNN.prn and echoed on standard output.
Stops by itself after --seconds."""
import argparse
import os
import socket
import sys
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("port", type=int)
    ap.add_argument("outdir")
    ap.add_argument("--seconds", type=float, default=3600)
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args()

    os.makedirs(args.outdir, exist_ok=True)
    deadline = time.monotonic() + args.seconds
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(4)
    count = 0
    while time.monotonic() < deadline:
        server.settimeout(max(0.1, min(1.0, deadline - time.monotonic())))
        try:
            conn, _ = server.accept()
        except socket.timeout:
            continue
        data = bytearray()
        conn.settimeout(10)
        with conn:
            while True:
                try:
                    chunk = conn.recv(65536)
                except socket.timeout:
                    break
                if not chunk:
                    break
                data += chunk
        if not data:
            continue  # CUPS probing the printer
        count += 1
        path = os.path.join(args.outdir, "label-%03d.prn" % count)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)
        if not args.quiet:
            sys.stdout.write("--- label %d received (%d bytes), saved as %s\n" % (count, len(data), path))
            sys.stdout.write(data.decode("cp1252", errors="replace").replace("\r\n", "\n"))
            sys.stdout.write("---\n")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
