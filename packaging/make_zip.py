#!/usr/bin/env python3
"""Writes the release zip and SHA256SUMS beside it.

The same inputs give the same bytes wherever and whenever this runs: the
entries keep the order given, every entry carries the same time (the
commit's, or SOURCE_DATE_EPOCH when set), and nothing of the build machine
(owner, permissions, extra time fields) goes into the archive.
"""
import argparse
import hashlib
import os
import subprocess
import sys
import time
import zipfile

# Zip times are MS-DOS times: 1980 to 2107, in steps of two seconds.
DOS_FIRST = 315532800  # 1980-01-01 00:00:00 UTC
DOS_LAST = 4354819198  # 2107-12-31 23:59:58 UTC


def fail(message):
    sys.exit(f"make_zip: {message}")


def release_time(source):
    """SOURCE_DATE_EPOCH, else the time of the source's commit, else 1980."""
    text = os.environ.get("SOURCE_DATE_EPOCH", "")
    origin = "SOURCE_DATE_EPOCH"
    if not text:
        origin = "the commit time"
        def git(*words):
            return subprocess.run(["git", "-C", source, *words], capture_output=True,
                                  text=True, check=True).stdout.strip()
        try:
            # Only the source's own history: not that of a folder around it.
            top = git("rev-parse", "--show-toplevel")
            same = os.path.samefile(top, source)
            text = git("log", "-1", "--format=%ct") if same else ""
        except (OSError, subprocess.CalledProcessError):
            text = ""
        if not text:
            # A source tree without its history (an unpacked archive) still
            # gives the same zip every time.
            print(f"make_zip: no SOURCE_DATE_EPOCH and no commit in {source}: "
                  "the entries are dated 1980-01-01", file=sys.stderr)
            return time.gmtime(DOS_FIRST)[:6]
    if not text.isdigit():
        fail(f"{origin} is not a number of seconds: {text!r}")
    seconds = int(text)
    if seconds > DOS_LAST:
        fail(f"{origin} {seconds} is past what a zip can hold (2107)")
    # Earlier times (SOURCE_DATE_EPOCH=0 is common) become the first a zip has.
    return time.gmtime(max(seconds, DOS_FIRST))[:6]


def entry_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".txt"):
        # Read on Windows: CR LF line ends, whatever the checkout has.
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data


def write_atomically(path, data):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    scratch = path + ".new"
    with open(scratch, "wb") as f:
        f.write(data)
    os.replace(scratch, path)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="source folder (for the commit time)")
    parser.add_argument("--zip", required=True, help="zip to write")
    parser.add_argument("--sums", required=True, help="SHA256SUMS to write beside it")
    parser.add_argument("files", nargs="+", help="entries, in this order")
    args = parser.parse_args()

    for path in args.files:
        if not os.path.isfile(path):
            fail(f"no file {path}")
    names = [os.path.basename(f) for f in args.files]
    if len(set(n.lower() for n in names)) != len(names):
        fail(f"two entries share a name: {names}")
    stamp = release_time(args.source)

    scratch = args.zip + ".new"
    os.makedirs(os.path.dirname(os.path.abspath(args.zip)), exist_ok=True)
    with zipfile.ZipFile(scratch, "w") as archive:
        for path, name in zip(args.files, names):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 0  # MS-DOS attributes: none of this machine's owners or modes
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, entry_bytes(path), compresslevel=9)
    os.replace(scratch, args.zip)

    # The programs as they are inside the zip, then the zip itself.
    lines = [f"{sha256(path)}  {name}\n"
             for path, name in zip(args.files, names) if name.lower().endswith(".exe")]
    lines.append(f"{sha256(args.zip)}  {os.path.basename(args.zip)}\n")
    write_atomically(args.sums, "".join(lines).encode("ascii"))


if __name__ == "__main__":
    main()
