#!/usr/bin/env python3
"""kivhost as a user runs it: help, errors and exit codes, info, call and frame with --json.

Usage: test_kivhost.py [--reference-dir DIR] [--platform windows|linux] -- KIVHOST [PREFIX ARGS...]
With a reference dir (the native build's bin folder), the answers are also compared with those
of the native kivhost there, so that Linux and Windows give the same answers. On Windows
`kivhost dialog` opens the real dialog, which tests/dialog drives; here only its usage is checked.
"""
import binascii
import random
import sys

from kivhost_testlib import check, compare_with_native, finish, run, run_json, split_arguments


def entered(n):
    return {"level": 8, "text": f"DUZED:Entered KivMain(), with function {n - 1}"}


def test_kivhost(kivhost):
    code, out, _ = run(kivhost, "--help")
    check(code == 0 and "info" in out and "call" in out, "--help lists the commands")
    code, out, _ = run(kivhost, "call", "--help")
    check(code == 0 and "--address" in out, "call --help explains --address")
    code, _, err = run(kivhost, "frobnicate")
    check(code == 2 and "unknown command" in err, f"unknown command: exit {code}, {err!r}")
    code, _, err = run(kivhost)
    check(code == 2, "no command is a usage error")
    code, _, err = run(kivhost, "call", "abc")
    check(code == 2 and "not a function number" in err, f"bad number: {code} {err!r}")
    code, _, err = run(kivhost, "call", "3")
    check(code == 2 and "started driver instance" in err, f"function 3 refused: {code} {err!r}")
    # A port that does not exist is named as such, on both systems, before any wait.
    code, out, err = run(kivhost, "--json", "port-check", "COM99")
    check(code == 2 and '"cause":"not-found"' in out and "COM99 does not exist" in out,
          f"port-check of a missing port: exit {code}, {out!r} {err!r}")
    code, _, err = run(kivhost, "--driver", "/nonexistent/libnothing.so", "info")
    check(code == 3 and "cannot load" in err, f"missing library: {code} {err!r}")

    info = run_json(kivhost, "info") or {}
    check(info.get("result") == 0, "info result 0")
    check(info.get("infoCode") == 70, "infoCode 70")
    check(info.get("makerName") == "Visonic", "makerName")
    banner = bytes.fromhex(info.get("bannerHex", ""))
    check(len(banner) == 379, f"banner is 379 bytes, not {len(banner)}")
    lines = banner.split(b"\n")
    check(lines[0] == b"" and all(len(x) == 62 for x in lines[1:7]) and lines[7] == b"",
          "banner: LF then six lines of 62 characters each followed by LF")
    check(banner.startswith(b"\n\xda" + b"\xc4" * 60 + b"\xbf\n"), "banner top border")
    check(b"Visonic Ltd." in lines[3] and b"VXS-100  ASCII protocol" in lines[4], "banner texts")
    check(info.get("instanceSize", 0) > 500000, "instance size holds the badge table")
    for key, value in (("infoValue4", 4), ("defaultBaud", 9600), ("defaultDataBits", 8),
                       ("defaultStopBits", 0), ("defaultParity", 0), ("infoValue32", 32)):
        check(info.get(key) == value, f"{key} is {value}")
    check(info.get("log") == [entered(14), {"level": 32, "text": "RIRODI: GetKIVinfo."}],
          f"info log: {info.get('log')}")

    invalid = {"level": 8, "text": "DUZED:Exited KivMain() invalid function number"}
    empty = {"level": 8, "text": "DUZED:Exited KivMain() pointer in KivFunc[] is NULL"}
    cases = {
        0: (2, [entered(0), invalid]),
        4: (1, [entered(4), {"level": 32, "text": "DUZED :Block Parse failed Tag '', No block Support"}]),
        6: (1, [entered(6), {"level": 32, "text": "DUZED: KIV does not support block read."}]),
        8: (2, [entered(8), empty]),
        9: (2, [entered(9), empty]),
        10: (1, [entered(10), {"level": 32, "text": "DUZED: Block Write not supported!"}]),
        17: (2, [entered(17), empty]),
        18: (2, [entered(18), invalid]),
        4000000000: (2, [{"level": 8, "text": "DUZED:Entered KivMain(), with function -294967297"}, invalid]),
    }
    answers = {}
    for number, (result, log) in cases.items():
        answer = run_json(kivhost, "call", str(number)) or {}
        answers[number] = answer
        check(answer.get("function") == number, f"call {number}: function echoed")
        check(answer.get("result") == result, f"call {number}: result {answer.get('result')} != {result}")
        check(answer.get("log") == log, f"call {number}: log {answer.get('log')}")
    answer = run_json(kivhost, "call", "4", "--address", "X1") or {}
    check(answer.get("log", [None, None])[1] == {"level": 32, "text": "DUZED :Block Parse failed Tag 'X1', No block Support"},
          f"call 4 --address X1: {answer}")
    info14 = run_json(kivhost, "call", "14") or {}
    check(info14.get("result") == 0, "call 14 result 0")


def expected_frame(text, controller):
    """The frame finished independently: upper-casing of 0x61 to 0x7F, CRC-16/XMODEM (crc_hqx
    with initial value 0) over the bytes from the first ";" to the second."""
    body = (f">{controller}" if controller else "").encode("latin-1") + text.encode("latin-1")
    body = bytes(b - 0x20 if 0x61 <= b <= 0x7F else b for b in body)
    checked = b";" + body + b";"
    return b"\n" + checked + f"{binascii.crc_hqx(checked, 0):04X}".encode() + b"\r"


def test_frame(kivhost):
    code, out, _ = run(kivhost, "frame", "--help")
    check(code == 0 and "--controller" in out and "commandList" in out, "frame --help")
    for args, message in ((("frame",), "missing the command TEXT"),
                          (("frame", "S Q", "--controller", "8"), "not a controller"),
                          (("frame", "S Q", "--controller"), "--controller"),
                          (("frame", "S Q", "extra"), "not expected: extra"),
                          (("frame", "S Q\r\n;>1S Q"), "control byte (0x0D)"),
                          (("frame", "\x1b[2J"), "control byte (0x1B)"),
                          (("frame", "X" * 248), "too long")):
        code, _, err = run(kivhost, *args)
        check(code == 2 and message in err, f"{args[:3]}: exit {code}, {err!r}")

    answers = {}
    known = {("c ", 0): "<LF>;C ;F7D5<CR>", ("S Q", 3): "<LF>;>3S Q;8D26<CR>",
             ("s v,y", 0): "<LF>;S V,Y;3678<CR>", ("", 0): None, ("X" * 247, 0): None,
             ("{|}~", 7): "<LF>;>7[\\]^;" + expected_frame("{|}~", 7)[-5:-1].decode() + "<CR>"}
    rng = random.Random(4711)
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 ,:{|}~"
    cases = list(known)
    for _ in range(12):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 60))).strip() or "Q"
        cases.append((text, rng.randint(0, 7)))
    for text, controller in cases:
        answer = run_json(kivhost, "frame", text, "--controller", str(controller)) or {}
        answers[(text, controller)] = answer
        frame = expected_frame(text, controller)
        label = f"frame {text[:20]!r} --controller {controller}"
        check(answer.get("text") == text and answer.get("controller") == controller, f"{label}: echoed")
        check(bytes.fromhex(answer.get("frameHex", "")) == frame,
              f"{label}: {answer.get('frameHex')} is not {frame.hex()}")
        escaped = frame.decode("latin-1").replace("\n", "<LF>").replace("\r", "<CR>")
        check(answer.get("escaped") == escaped, f"{label}: escaped {answer.get('escaped')!r}")
        if known.get((text, controller)):
            check(answer.get("escaped") == known[(text, controller)], f"{label}: known frame")
        listed = frame.decode("latin-1").replace("\n", "<").replace("\r", ">")
        check(answer.get("commandList") == listed, f"{label}: commandList {answer.get('commandList')!r}")
    check(len(bytes.fromhex(answers[("X" * 247, 0)].get("frameHex", ""))) == 255,
          "the longest text makes a 255-byte frame")


def test_dialog(kivhost, platform):
    code, out, _ = run(kivhost, "dialog", "--help")
    check(code == 0 and "function 16" in out and "Parse refuses" in out, "dialog --help")
    code, _, err = run(kivhost, "dialog", "extra")
    check(code == 2 and "not expected: extra" in err, f"dialog extra: exit {code}, {err!r}")
    code, _, err = run(kivhost, "call", "16")
    check(code == 2 and "kivhost dialog" in err, f"call 16 points to dialog: exit {code}, {err!r}")
    if platform == "windows":
        return
    line = {"level": 32, "text": "RIRODI: the Tag Format dialog exists only in the Windows driver."}
    answer = run_json(kivhost, "dialog", expect_exit=1) or {}
    check(answer == {"result": 53, "text": None, "log": [entered(16), line]}, f"dialog: {answer}")
    code, out, _ = run(kivhost, "dialog")
    check(code == 1 and "not completed (result 53)" in out and line["text"] in out,
          f"dialog: exit {code}, {out!r}")


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--reference-dir", "--platform"])
    test_kivhost(kivhost)
    test_frame(kivhost)
    test_dialog(kivhost, options["--platform"])
    if options["--reference-dir"]:
        # The instance record holds pointers: its size depends on the word width.
        compare_with_native(options["--reference-dir"],
                            ignore=lambda args, key: args[:1] == ("info",) and key == "instanceSize")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
