"""What the tests of kivhost share: running it as a user does (natively or under Wine), reading
its JSON answers, collecting failures, and comparing the answers with the native build's."""
import json
import os
import subprocess
import tempfile
import time

failures = []
answers = []  # (args, cwd, answer) of every JSON call, to compare with the native build


BOUND = 30.0  # seconds any single condition of a live test may take


def wait_for(condition, what, bound=BOUND):
    """Waits until condition() holds; counts and prints a failure naming 'what' when it does not
    within bound."""
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return check(False, f"not within {bound} s: {what}")


def check(condition, message):
    """Counts a failure and prints it at once, so that a run cut short by its time-out shows it."""
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)
    return condition


def run(command, *args, cwd=None, env=None):
    """Runs the tool and returns (exit code, standard output, standard error); env holds
    variables set for the call, beside the test's own environment.

    Output goes to files, not pipes: a wineserver that the call starts inherits the handles and
    outlives the program by seconds; with pipes every call would wait for it."""
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        proc = subprocess.run(list(command) + list(args), stdout=out_file, stderr=err_file,
                              stdin=subprocess.DEVNULL, timeout=300, cwd=cwd,
                              env={**os.environ, **env} if env else None)
        out_file.seek(0)
        err_file.seek(0)
        out = out_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
        err = err_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
    return proc.returncode, out, err


def run_json(command, *args, cwd=None, expect_exit=0):
    """Runs the tool with --json and returns its answer (None when it is not JSON). The answer
    is kept for compare_with_native."""
    code, out, err = run(command, "--json", *args, cwd=cwd)
    if expect_exit is not None:
        check(code == expect_exit, f"{args[:3]}...: exit {code}, expected {expect_exit}; {err!r}")
    try:
        answer = json.loads(out)
    except json.JSONDecodeError:
        failures.append(f"{args[:3]}...: not JSON: {out[:200]!r}")
        return None
    answers.append((args, cwd, answer))
    return answer


def compare_with_native(reference_dir, ignore=lambda args, key: False):
    """Asks the native kivhost in reference_dir every question asked so far and checks that it
    answers the same; ignore(args, key) leaves out members that may differ."""
    native = [os.path.join(reference_dir, "kivhost")]
    for args, cwd, answer in list(answers):
        code, out, _ = run(native, "--json", *args, cwd=cwd)
        try:
            expected = json.loads(out)
        except json.JSONDecodeError:
            expected = None
        if isinstance(answer, dict) and isinstance(expected, dict):
            answer = {k: v for k, v in answer.items() if not ignore(args, k)}
            expected = {k: v for k, v in expected.items() if not ignore(args, k)}
        check(answer == expected, f"{args[:4]}...: differs from the native build")


def split_arguments(argv, options):
    """Splits 'OPTION VALUE ... -- COMMAND...' into a dict of the options and the command."""
    values = {name: "" for name in options}
    args = list(argv)
    while args and args[0] != "--":
        if args[0] in values and len(args) > 1:
            values[args[0]] = args[1]
            args = args[2:]
        else:
            raise SystemExit(f"unknown argument {args[0]!r}")
    return values, args[1:]


def finish():
    """Prints the closing count; returns the exit code."""
    print(f"{len(answers)} JSON answers checked, {len(failures)} failures")
    return 1 if failures else 0
