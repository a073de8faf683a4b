#!/usr/bin/env python3
"""kivhost parse and check as a user runs them: the driver's verdict, driver words and log lines
for every address family, the tag configuration file format, exit codes, and the example
configuration.

Usage: test_kivhost_parse.py --examples DIR [--reference-dir DIR] -- KIVHOST [PREFIX ARGS...]
With a reference dir (the native build's bin folder), every JSON answer is also compared with
the native kivhost's, so that Linux and Windows give the same answers. Many addresses go to one
kivhost call, since each start of a Windows program under Wine costs about a second.
"""
import os
import sys
import tempfile

from kivhost_testlib import check, compare_with_native, failures, finish, run, run_json, split_arguments


ANALOG, DIGITAL, STRING = 0, 6, 7
DEFAULTS = (0, 0, 0, -1, 16)
ENTERED = {"level": 8, "text": "DUZED:Entered KivMain(), with function 2"}

ILLEGAL_CHARS = "ZEZ: illegal chars in GAS %s"
ILLEGAL_GAS = "ZEZ: illegal GAS %s"
TOO_LONG = "ZEZ: illegal GAS %s (max length 7 chars)"
CONTROLLER = "ZEZ: illegal controlerNumber number (0..7) in GAS %s"
READER = "ZEZ: illegal reader number (0..15) in GAS %s"
DOOR = "ZEZ: illegal door number (0..15) in GAS %s"
PLC = "ZEZ: illegal plc number (0..7) in GAS %s"
OPTION = "ZEZ: illegal optional parameter in GAS %s"
BIT15 = "ZEZ: illegal bit number (0..15) in GAS %s"
BIT10 = "ZEZ: illegal bit number (0..10) in GAS %s"
BIT7 = "ZEZ: illegal bit number (0..7) in GAS %s"
LOCK = "ZEZ: illegal lock number (1..16) in GAS %s"
NOT_ANALOG = "ZEZ: tag type has to be ANALOG (unsigned16) in GAS %s"
NOT_DIGITAL = "ZEZ: tag type has to be DIGITAL in GAS %s"
NOT_STRING = "ZEZ: tag type has to be STRING in GAS %s"
INPUT_LENGTH = "ZEZ: length of tag GAS %s must be 5 chars"


def known(address):
    """Accepted without a line: named, controller, reader and door tags."""
    return (address, 0, DEFAULTS, [])


def passes(address, words):
    return (address, 0, words, [{"level": 8, "text": f"RIRODI: GAS {address} pass the Parse function."}])


def refused(address, message, shown=None):
    shown = address.upper() if shown is None else shown
    return (address, 1, DEFAULTS, [{"level": 32, "text": message.replace("%s", shown)}])


def value(operation):
    return (10, operation, 0, -1, 16)


def bit(operation, number, lock=0):
    return (10, operation, lock, number, 1)


LONG = [
    refused("a" * 39, TOO_LONG, "a" * 39),
    refused("a" * 40, TOO_LONG, "a" * 39 + "..."),
    refused("a" * 41, TOO_LONG, "a" * 39 + "..."),
    refused("a" * 300, TOO_LONG, "a" * 39 + "..."),
    known("3PMODE" + "X" * 294),
    refused("9PMODE" + "x" * 294, CONTROLLER, "9PMODE" + "x" * 33 + "..."),
    known("PSRDR05" + "Z" * 33),
]

# One list of cases per data type; every list goes to one kivhost call.
CASES = {
    "analog": [
        known("3PMODE"), known("0PIRC"), known("7PAI4"), known("3PMODEXYZ"),
        refused("8PMODE", CONTROLLER, "8PMODE"), refused("XPMODE", CONTROLLER, "XPMODE"),
        refused("3pmode", ILLEGAL_CHARS),
        known("PSRDR00"), known("PSRDR15"), known("PSRDR5"), known("PSRDR123"), known("PSRDR 5"),
        refused("PSRDR16", READER, "PSRDR16"), refused("PSRDR", READER, "PSRDR"),
        refused("PSRDR-1", READER, "PSRDR-1"),
        known("PDORL00"), known("PDORL15"), refused("PDORL16", DOOR, "PDORL16"),
        known("PSDOR15"), refused("PSDOR16", DOOR, "PSDOR16"), refused("psdor05", ILLEGAL_CHARS),
        known("SEND_STR_FROM_FILE"), known("BADGECODE"), known("INCOMING"),
        refused("badgecode", TOO_LONG, "badgecode"),
        passes("PDORS", value(100)), refused("PDORS07", NOT_DIGITAL),
        passes("PWKDS", value(101)), passes("PLOCK", value(112)),
        passes("PLOCK01", (10, 112, 1, -1, 16)), passes("PLOCK05", (10, 112, 5, -1, 16)),
        passes("PLOCK16", (10, 112, 16, -1, 16)),
        refused("PLOCK00", LOCK), refused("PLOCK17", LOCK),
        passes("PLOUD16", (10, 113, 16, -1, 16)), passes("pdajt01", (10, 114, 1, -1, 16)),
        refused("PHOLT12", ILLEGAL_GAS), refused("PDORS0", ILLEGAL_GAS),
        passes("2FSPARL", (2, 7, 0, -1, 16)), passes("2FSPAR", (2, 7, 0, -1, 16)),
        passes("2fsparl", (2, 7, 0, -1, 16)), passes("0FADDK", (0, 0, 0, -1, 16)),
        passes("7FSTAT", (7, 13, 0, -1, 16)),
        refused("2FSPARQ", OPTION), refused("2fsparq", OPTION), refused("2FADDKX", ILLEGAL_GAS),
        refused("2FSPARLX", ILLEGAL_GAS), refused("9FADDK", PLC), refused("8FADDK", PLC),
        refused("3FADD", ILLEGAL_CHARS),
        refused("PTIME", NOT_STRING), refused("INPUT", NOT_STRING), refused("INPUTS", INPUT_LENGTH),
        refused("", ILLEGAL_CHARS), refused("READ", ILLEGAL_CHARS), refused("ARG07", ILLEGAL_CHARS),
        refused("ABCDEF", ILLEGAL_CHARS), refused("ABCDEFG", ILLEGAL_CHARS),
        refused("ABCDEFGH", ILLEGAL_CHARS), refused("ABCDEFGHI", TOO_LONG, "ABCDEFGHI"),
        refused("%s%n%x", ILLEGAL_CHARS), refused("-1PMODE", ILLEGAL_CHARS),
    ] + [passes(f"5FSPAR{letter}", (5, 7, 0, -1, 16)) for letter in "LXFDPVNUSMO"] + LONG,
    "digital": [
        passes("PDORS00", bit(100, 0)), passes("PDORS07", bit(100, 7)), passes("PDORS15", bit(100, 15)),
        refused("PDORS16", BIT15), passes("PWKDS00", bit(101, 0)), passes("PWKDS10", bit(101, 10)),
        refused("PWKDS11", BIT10),
        passes("PLOCK053", bit(112, 3, 5)), passes("PLOCK010", bit(112, 0, 1)),
        passes("PLOCK167", bit(112, 7, 16)), passes("plock053", bit(112, 3, 5)),
        refused("PLOCK058", BIT7), refused("PLOCK003", LOCK), refused("PLOCK173", LOCK),
        refused("PLOCK05", NOT_ANALOG), refused("PDORS", NOT_ANALOG),
        passes("PLFRT", (10, 105, 0, -1, 1)), passes("PDFRM", (10, 106, 0, -1, 1)),
        passes("PPEVS", (10, 108, 0, -1, 1)), passes("pefrm", (10, 115, 0, -1, 1)),
        refused("2FADDK", NOT_ANALOG), refused("2FSPARQ", OPTION), known("3PTMPR"),
        known("PSRDR07"),
    ],
    "string": [
        passes("PFRTM", value(130)), passes("PTOTM", value(131)), passes("PKCOD", value(132)),
        passes("PDATE", value(133)), passes("PTIME", value(134)), passes("PTIMEXYZ", value(134)),
        passes("ptime", value(134)), refused("PTIMEXYZW", TOO_LONG, "PTIMEXYZW"),
        passes("INPUT", value(200)), passes("input", value(200)),
        refused("INPUTS", INPUT_LENGTH), refused("INPUTXYZ", INPUT_LENGTH),
        refused("PDORS", NOT_ANALOG), refused("PLFRT", NOT_DIGITAL),
        known("INCOMING"), refused("incoming", ILLEGAL_CHARS), known("3PVER"),
    ],
    "99": [
        known("DOWNLOAD"), known("3PMODE"), known("PSDOR05"), refused("2FADDK", NOT_ANALOG),
        refused("PLFRT", NOT_DIGITAL), refused("PTIME", NOT_STRING), refused("INPUT", NOT_STRING),
    ],
}

TYPE_CODES = {"analog": ANALOG, "digital": DIGITAL, "string": STRING, "99": 99}


def test_parse(kivhost):
    for type_name, cases in CASES.items():
        addresses = [case[0] for case in cases]
        expect_exit = 1 if any(case[1] != 0 for case in cases) else 0
        answer = run_json(kivhost, "parse", "--type", type_name, "--", *addresses, expect_exit=expect_exit)
        if not isinstance(answer, list) or len(answer) != len(cases):
            failures.append(f"parse --type {type_name}: {len(cases)} objects expected")
            continue
        for (address, result, words, lines), got in zip(cases, answer):
            label = f"parse {type_name} {address[:45]!r}"
            check(list(got.keys()) == ["address", "dataType", "result", "controller", "operation",
                                       "lockNumber", "bitNumber", "bitWidth", "log"], f"{label}: keys {list(got)}")
            check(got.get("address") == address, f"{label}: address {got.get('address')!r}")
            check(got.get("dataType") == TYPE_CODES[type_name], f"{label}: dataType")
            check(got.get("result") == result, f"{label}: result {got.get('result')}")
            got_words = tuple(got.get(k) for k in ("controller", "operation", "lockNumber", "bitNumber", "bitWidth"))
            check(got_words == words, f"{label}: words {got_words} != {words}")
            check(got.get("log") == [ENTERED] + lines, f"{label}: log {got.get('log')}")

    # A person's view, and the exit status when everything is accepted.
    code, out, _ = run(kivhost, "parse", "--type", "STRING", "input", "PTIME")
    check(code == 0, f"parse of accepted addresses: exit {code}")
    check("'input' (string): accepted: controller 10, operation 200, lockNumber 0, bitNumber -1, bitWidth 16"
          in out, f"parse text output: {out!r}")
    code, out, _ = run(kivhost, "parse", "9FADDK")
    check(code == 1 and "rejected: ZEZ: illegal plc number (0..7) in GAS 9FADDK" in out,
          f"parse text output of a refusal: {code} {out!r}")

    for args, message in ((["parse"], "missing the ADDRESS"),
                          (["parse", "--type", "float", "X"], "is not a data type"),
                          (["parse", "-x"], "go after '--'")):
        code, _, err = run(kivhost, *args)
        check(code == 2 and message in err, f"{args}: exit {code}, {err!r}")


def expected_example_addresses():
    named = ["INCOMING", "OUTGOING", "SEND_ACK", "SEND_STR_FROM_FILE", "PENUM", "PBNAM", "PCDOR",
             "PBNA2", "PBINM", "PBIN2", "PBCOD", "COUNTERD", "DOWNLOAD", "INVERT", "BADGECODE"]
    controller_tags = ["PMODE", "PKEYS", "PAI1", "PAI2", "PAI3", "PAI4", "PCTRL", "PVER", "PTMPR",
                       "PSRCC", "PSBTR", "PSPWR", "PALRM", "PUIM", "PIRC"]
    commands = ["FADDK", "FDELK", "FMODK", "FSTTZ", "FRTHS", "FSHOL", "FSAHS", "FSPAR", "FSTER",
                "FPPRN", "FSNDD", "FAPRN", "FERDB", "FSTAT"]
    parameters = ["PDORS", "PWKDS", "PHOLT", "PPSW1", "PPSW2", "PLFRT", "PDFRM", "PDMOD", "PPEVS",
                  "PTZN1", "PTZN2", "PDATI", "PLOCK", "PLOUD", "PDAJT", "PEFRM"]
    addresses = list(named)
    for c in range(8):
        addresses += [f"{c}{k}" for k in controller_tags]
        addresses += [f"{c}{k}" for k in commands]
        addresses += [f"{c}FSPAR{letter}" for letter in "LXFDPVNUSMO"]
    for k in ("PSRDR", "PDORL", "PSDOR"):
        addresses += [f"{k}{n:02d}" for n in range(16)]
    addresses += parameters
    addresses += [f"PDORS{b:02d}" for b in range(16)] + [f"PWKDS{b:02d}" for b in range(11)]
    for lock in range(1, 17):
        addresses += [f"PLOCK{lock:02d}", f"PLOUD{lock:02d}", f"PDAJT{lock:02d}"]
        addresses += [f"PLOCK{lock:02d}{b}" for b in range(8)]
    addresses += ["PFRTM", "PTOTM", "PKCOD", "PDATE", "PTIME", "INPUT"]
    return addresses


def test_example(kivhost, examples_dir):
    name = "vxs100-line.tags"
    answer = run_json(kivhost, "check", name, cwd=examples_dir, expect_exit=0)
    if not isinstance(answer, dict):
        return
    tags = answer.get("tags", [])
    expected = expected_example_addresses()
    addresses = [t.get("address") for t in tags]
    check(sorted(addresses) == sorted(expected),
          f"example: missing {sorted(set(expected) - set(addresses))[:10]}, "
          f"extra {sorted(set(addresses) - set(expected))[:10]}, {len(addresses)} tags")
    check(len(set(t.get("name") for t in tags)) == len(tags), "example: tag names are unique")
    check(all(t.get("result") == 0 for t in tags), "example: every tag accepted")
    check(all(t.get("dataType") in (ANALOG, DIGITAL, STRING) for t in tags), "example: data types")
    check(answer.get("accepted") == len(expected) and answer.get("rejected") == 0,
          f"example summary {answer.get('accepted')} {answer.get('rejected')}")
    by_address = {t.get("address"): t for t in tags}
    for address, words in (("3FSPARS", (3, 7, 0, -1, 16)), ("PLOCK167", (10, 112, 16, 7, 1)),
                           ("PWKDS10", (10, 101, 0, 10, 1)), ("PTIME", (10, 134, 0, -1, 16)),
                           ("INPUT", (10, 200, 0, -1, 16)), ("7PIRC", DEFAULTS)):
        tag = by_address.get(address, {})
        got = tuple(tag.get(k) for k in ("controller", "operation", "lockNumber", "bitNumber", "bitWidth"))
        check(got == words, f"example {address}: words {got}")
    code, out, _ = run(kivhost, "check", "--quiet", name, cwd=examples_dir)
    check(code == 0 and out.strip() == f"{name}: {len(expected)} tags, {len(expected)} accepted, 0 rejected",
          f"example --quiet: {code} {out!r}")


CONFIG = (
    "# a host's tags\r\n"
    "\r\n"
    "mode3\t3PMODE\tanalog   # controller 3\r\n"
    "  door5   PSDOR05   Digital\n"
    "bad_plc 9FADDK 0\n"
    "reader \"PSRDR 5\" 6\n"
    "empty \"\" string\n"
    "hash \"A#B\" 7\n"
    "\"odd name\" plock053 digital\n"
    "quote \"X\"\"Y\" analog\n"
    "long " + "L" * 60 + " analog\n"
    "time PTIME 99"
)

MALFORMED = (
    "ok 3PMODE analog\n"
    "two fields\n"
    "four a b analog\n"
    "badtype INPUT text\n"
    "open \"INPUT string\n"
    "inner a\"b analog\n"
    "after \"x\"y analog\n"
    "\"\" INPUT string\n"
)


def test_check(kivhost, workdir):
    with open(os.path.join(workdir, "host.tags"), "w", newline="") as f:
        f.write(CONFIG)
    with open(os.path.join(workdir, "malformed.tags"), "w", newline="") as f:
        f.write(MALFORMED)
    answer = run_json(kivhost, "check", "host.tags", cwd=workdir, expect_exit=1)
    if isinstance(answer, dict):
        expected = [
            (3, "mode3", "3PMODE", ANALOG, 0), (4, "door5", "PSDOR05", DIGITAL, 0),
            (5, "bad_plc", "9FADDK", ANALOG, 1), (6, "reader", "PSRDR 5", DIGITAL, 0),
            (7, "empty", "", STRING, 1), (8, "hash", "A#B", STRING, 1),
            (9, "odd name", "plock053", DIGITAL, 0), (10, "quote", 'X"Y', ANALOG, 1),
            (11, "long", "L" * 60, ANALOG, 1), (12, "time", "PTIME", 99, 1),
        ]
        got = [(t.get("line"), t.get("name"), t.get("address"), t.get("dataType"), t.get("result"))
               for t in answer.get("tags", [])]
        check(got == expected, f"check host.tags: {got}")
        check(answer.get("file") == "host.tags" and answer.get("accepted") == 4 and answer.get("rejected") == 6,
              f"check host.tags summary: {answer.get('file')} {answer.get('accepted')} {answer.get('rejected')}")
        tags = answer.get("tags", [])
        if len(tags) == len(expected):
            check(tags[8]["log"][1]["text"] == "ZEZ: illegal GAS " + "L" * 39 + "... (max length 7 chars)",
                  f"check: long address line {tags[8]['log']}")
            check(tags[6]["bitNumber"] == 3 and tags[6]["lockNumber"] == 5, "check: plock053 words")
    code, out, _ = run(kivhost, "check", "host.tags", cwd=workdir)
    lines = out.splitlines()
    check(code == 1 and lines and lines[0].split() == ["LINE", "NAME", "ADDRESS", "TYPE", "VERDICT", "DRIVER",
                                                        "WORDS", "OR", "REASON"], f"check table header: {lines[:1]}")
    check(any(line.split()[:5] == ["5", "bad_plc", "9FADDK", "analog", "rejected"]
              and line.endswith("ZEZ: illegal plc number (0..7) in GAS 9FADDK") for line in lines),
          f"check table row: {out!r}")
    check(lines and lines[-1] == "host.tags: 10 tags, 4 accepted, 6 rejected", f"check summary: {lines[-1:]}")

    code, out, err = run(kivhost, "check", "malformed.tags", cwd=workdir)
    check(code == 2 and out == "", f"malformed: exit {code}, stdout {out!r}")
    for line in (2, 3, 4, 5, 6, 7, 8):
        check(f"malformed.tags:{line}: " in err, f"malformed: line {line} reported: {err!r}")
    check("malformed.tags:1:" not in err and "7 malformed lines" in err, f"malformed: {err!r}")
    check("found 2 fields" in err and "'text' is not a data type" in err and "not closed" in err
          and "tag name is empty" in err, f"malformed messages: {err!r}")

    code, _, err = run(kivhost, "check", "no-such-file.tags", cwd=workdir)
    check(code == 2 and "cannot open 'no-such-file.tags'" in err, f"missing file: {code} {err!r}")
    code, out, _ = run(kivhost, "check", "--help")
    check(code == 0 and "NAME ADDRESS TYPE" in out and "'#' starts a comment" in out, f"check --help: {out!r}")


BOM = "\ufeff"


def windows_text(text):
    """A text as an editor on Windows saves it: a byte-order mark, every line ending in CR LF."""
    return BOM + text.replace("\r\n", "\n").replace("\n", "\r\n")


def test_windows_files(kivhost, workdir):
    """Tag files and scripts saved on Windows read exactly as those saved on Linux; a tag name
    with a control or non-ASCII byte is refused with its file and line."""
    for name, text in (("unix.tags", CONFIG.replace("\r\n", "\n")), ("windows.tags", windows_text(CONFIG))):
        with open(os.path.join(workdir, name), "w", encoding="utf-8", newline="") as f:
            f.write(text)
    unix = run_json(kivhost, "check", "unix.tags", cwd=workdir, expect_exit=1) or {}
    windows = run_json(kivhost, "check", "windows.tags", cwd=workdir, expect_exit=1) or {}
    check(unix.get("tags") and windows.get("tags") == unix.get("tags"),
          f"CR LF and a byte-order mark read as LF: {windows.get('tags', [])[:2]}")
    with open(os.path.join(workdir, "names.tags"), "w", encoding="utf-8", newline="") as f:
        f.write(windows_text("ok 3PMODE analog\n\"bell\x07\" PSDOR05 digital\ncaf\u00e9 3PMODE analog\n"
                             "\"tab\tname\" 3PMODE analog\n"))
    code, out, err = run(kivhost, "check", "names.tags", cwd=workdir)
    check(code == 2 and out == "" and "names.tags:1:" not in err and "3 malformed lines" in err,
          f"names with control or non-ASCII bytes: exit {code}, {err!r}")
    for line, shown in ((2, "bell\\x07"), (3, "caf\\xC3\\xA9"), (4, "tab\\x09name")):
        check(f"names.tags:{line}: the tag name '{shown}' holds a control or non-ASCII byte" in err,
              f"name refused on line {line}: {err!r}")
    # A script is checked whole before the start: only its bad line is reported, without a CR.
    with open(os.path.join(workdir, "windows.run"), "w", encoding="utf-8", newline="") as f:
        f.write(windows_text("sleep 10\nwrite L1_PENUM 3\nfly away\nquit\n"))
    code, _, err = run(kivhost, "run", "--tags", "unix.tags", "--script", "windows.run", cwd=workdir)
    check(code == 2 and "windows.run:3: unknown command 'fly'" in err and "windows.run:1:" not in err
          and "windows.run:4:" not in err and "\r" not in err, f"a Windows script checked: {code} {err!r}")


def main():
    options, kivhost = split_arguments(sys.argv[1:], ["--reference-dir", "--examples"])
    with tempfile.TemporaryDirectory() as workdir:
        test_parse(kivhost)
        test_example(kivhost, options["--examples"])
        test_check(kivhost, workdir)
        test_windows_files(kivhost, workdir)
        if options["--reference-dir"]:
            compare_with_native(options["--reference-dir"])
    return finish()


if __name__ == "__main__":
    sys.exit(main())
