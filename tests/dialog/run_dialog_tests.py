#!/usr/bin/env python3
"""Runs the dialog test program on the virtual display and keeps the screenshot it takes.

Usage: run_dialog_tests.py --framebuffer XWD --png PNG -- PROGRAM [ARGS...]

XWD is the framebuffer file of the Xvfb server the program's windows are on (scripts/xvfb-display).
The program copies it while the dialog is open (to a file beside PNG) and prints
`@dialog-window LEFT TOP RIGHT BOTTOM`; this script cuts that rectangle out of the copy, checks
that it shows something, and writes it as PNG. The program sees the files by their Wine names
(drive Z: is the root of the file system).
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

PROGRAM_BOUND = 300
WINDOW_MARK = "@dialog-window "


def wine_path(path):
    return "Z:" + os.path.abspath(path)


def read_xwd(path):
    """The width, height and 0xRRGGBB pixels (row by row) of a 24/32-bit ZPixmap XWD file."""
    data = open(path, "rb").read()
    order = ">" if struct.unpack(">I", data[4:8])[0] == 7 else "<"
    header = struct.unpack(order + "25I", data[:100])
    header_size, pixmap_format, width, height = header[0], header[2], header[4], header[5]
    byte_order, bits_per_pixel, bytes_per_line, colours = header[7], header[11], header[12], header[19]
    if pixmap_format != 2 or bits_per_pixel != 32:
        raise ValueError(f"unsupported XWD: format {pixmap_format}, {bits_per_pixel} bits per pixel")
    start = header_size + colours * 12
    pixel_order = "<" if byte_order == 0 else ">"
    rows = [struct.unpack_from(f"{pixel_order}{width}I", data, start + y * bytes_per_line)
            for y in range(height)]
    return width, height, rows


def write_png(path, rows):
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for pixel in row:
            raw += bytes(((pixel >> 16) & 255, (pixel >> 8) & 255, pixel & 255))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def screenshot(snapshot, rectangle, png):
    """Cuts the dialog out of the screen copy; returns a reason when it shows no dialog."""
    width, height, rows = read_xwd(snapshot)
    left, top, right, bottom = (max(0, rectangle[0]), max(0, rectangle[1]),
                                min(width, rectangle[2]), min(height, rectangle[3]))
    if right - left < 50 or bottom - top < 50:
        return f"the dialog's rectangle {rectangle} is not on the {width}x{height} screen"
    crop = [row[left:right] for row in rows[top:bottom]]
    write_png(png, crop)
    pixels = [p & 0xFFFFFF for row in crop for p in row]
    background = sum(1 for p in pixels if p == 0) / len(pixels)
    if len(set(pixels)) < 4 or background > 0.5:
        return "the screen shows no painted dialog where the dialog is"
    return None


def main():
    args = sys.argv[1:]
    options = {}
    while args and args[0] != "--":
        if len(args) < 2 or args[0] not in ("--framebuffer", "--png"):
            print(__doc__)
            return 2
        options[args[0]] = args[1]
        args = args[2:]
    program = args[1:]
    if "--framebuffer" not in options or "--png" not in options or not program:
        print(__doc__)
        return 2
    png = os.path.abspath(options["--png"])
    os.makedirs(os.path.dirname(png), exist_ok=True)
    snapshot = os.path.splitext(png)[0] + ".xwd"
    for stale in (png, snapshot):
        if os.path.exists(stale):
            os.remove(stale)
    env = dict(os.environ, KIV_DIALOG_FRAMEBUFFER=wine_path(options["--framebuffer"]),
               KIV_DIALOG_SNAPSHOT=wine_path(snapshot))
    # Output to a file: a pipe could be held open by a process the program started.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(program, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              env=env, timeout=PROGRAM_BOUND).returncode
        out.seek(0)
        output = out.read().decode("utf-8", "replace").replace("\r\n", "\n")
    print(output, end="")
    windows = [line[len(WINDOW_MARK):].split() for line in output.splitlines()
               if line.startswith(WINDOW_MARK)]
    if code != 0:
        print(f"FAIL: the dialog tests exited with {code}")
        return 1
    if len(windows) != 1 or not os.path.exists(snapshot):
        print("FAIL: the program took no screenshot of the open dialog")
        return 1
    reason = screenshot(snapshot, [int(v) for v in windows[0]], png)
    if reason:
        print("FAIL:", reason)
        return 1
    os.remove(snapshot)
    print(f"Screenshot of the open dialog: {png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
