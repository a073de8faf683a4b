"""The package test: what CPack makes installs and runs away from the build tree.

    test_package.py deb --build BUILD              the Debian package (Linux tree)
    test_package.py zip --build BUILD --wine-run WINE-RUN PREFIX
                                                   the Windows zip, its programs under Wine

deb: the package is made with CPack into a scratch folder, checked with dpkg-deb --info and
lintian (no error), unpacked with dpkg-deb -x into a scratch root; from /tmp the unpacked kivhost
answers --version and runs the driver for 5 seconds on a simulated line, finding the driver and
the example tag file in the unpacked tree; man -l renders both manual pages.
zip: the zip is made the same way and unpacked; kivhost.exe answers --version and info.
Everything is written into the scratch folder, which is removed at the end.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(args, cwd=None, env=None, timeout=300):
    """(exit status, standard output, standard error) of a command; output goes through files,
    since a wineserver the call starts keeps its handles open beyond the program."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(args, cwd=cwd, env=env, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return (proc.returncode, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"))


def make_package(build, scratch, pattern):
    code, out, err = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"),
                          "-B", scratch], cwd=scratch, timeout=900)
    found = glob.glob(os.path.join(scratch, pattern))
    if code != 0 or len(found) != 1:
        failures.append(f"cpack exited with {code}, made {found}: {out[-600:]} {err[-600:]}")
        return None
    return found[0]


def version_line(text):
    return text.strip().split("\n")[0] if text.strip() else ""


def test_deb(build, scratch):
    package = make_package(build, scratch, "vududidi_*.deb")
    if package is None:
        return
    code, out, _ = run(["dpkg-deb", "--info", package])
    check(code == 0 and "Package: vududidi" in out, f"dpkg-deb --info failed: {out}")
    if shutil.which("lintian"):
        code, out, err = run(["lintian", "--no-tag-display-limit", package], timeout=600)
        errors = [line for line in (out + err).splitlines() if line.startswith("E:")]
        check(not errors, "lintian finds errors:\n" + "\n".join(errors))
    else:
        print("lintian is not installed: not run (scripts/install-deps.sh installs it)")

    root = os.path.join(scratch, "root")
    code, _, err = run(["dpkg-deb", "-x", package, root])
    check(code == 0, f"dpkg-deb -x failed: {err}")
    kivhost = os.path.join(root, "usr", "bin", "kivhost")
    env = dict(os.environ, HOME=os.path.join(scratch, "home"))
    env.pop("XDG_STATE_HOME", None)

    code, out, err = run([kivhost, "--version"], cwd="/tmp", env=env)
    check(code == 0 and out.startswith("kivhost ") and "Build:" in out,
          f"kivhost --version: {code} {out} {err}")
    print("installed kivhost --version:", version_line(out))

    code, out, err = run([kivhost, "run", "--duration", "5", "--plain"], cwd="/tmp", env=env)
    check(code == 0, f"kivhost run --duration 5 from /tmp exited with {code}: {err[-800:]}")
    check("cold start done" in out, f"kivhost run: no cold start in its output: {out[:800]}")
    # Without --workdir the driver's files go to the user's state folder.
    work = os.path.join(scratch, "home", ".local", "state", "vududidi")
    check(os.path.isdir(work) and work in out, f"the default working folder {work} was not used")

    test_service_steps(root, kivhost, scratch, env)

    for page in ("kivhost", "vxs-sim"):
        path = os.path.join(root, "usr", "share", "man", "man1", page + ".1.gz")
        if not os.path.exists(path):
            failures.append(f"no manual page {page}(1) in the package")
            continue
        code, out, err = run(["man", "-l", path], env=dict(env, MANPAGER="cat", PAGER="cat",
                                                            MANWIDTH="80"))
        check(code == 0 and page in out and "warning" not in err,
              f"man -l {page}: {code} {err[-400:]}")


def test_service_steps(root, kivhost, scratch, env):
    """docs/mqtt.md's service steps in the scratch root: the files they copy are in the package,
    the configuration runs (its port and broker given on the command line, which wins), and
    systemd finds nothing wrong in the unit."""
    examples = os.path.join(root, "usr", "share", "vududidi", "examples")
    etc = os.path.join(scratch, "etc", "vududidi")
    os.makedirs(etc)
    for name, copy in (("mqtt-gateway.conf", "line1.conf"), ("vxs100-line.tags", "line1.tags")):
        if not os.path.exists(os.path.join(examples, name)):
            failures.append(f"the service steps copy {name}, which the package lacks")
            return
        shutil.copy(os.path.join(examples, name), os.path.join(etc, copy))
    conf = os.path.join(etc, "line1.conf")
    with open(conf, encoding="utf-8") as f:
        text = f.read().replace("/etc/vududidi", etc).replace("/var/lib", scratch)
    with open(conf, "w", encoding="utf-8") as f:
        f.write(text)
    master, slave = os.openpty()
    try:
        code, out, err = run([kivhost, "run", "--config", conf, "--port", os.ttyname(slave),
                              "--mqtt", "mqtt://127.0.0.1:1", "--duration", "1"], cwd="/tmp", env=env)
        check(code == 0 and "cold start done" in out,
              f"kivhost run --config of the example: {code} {out[-400:]} {err[-400:]}")
    finally:
        os.close(slave)
        os.close(master)
    if not shutil.which("systemd-analyze"):
        print("systemd-analyze is not installed: the unit is not verified")
        return
    with open(os.path.join(examples, "kivhost-mqtt@.service"), encoding="utf-8") as f:
        unit = f.read().replace("/usr/bin/kivhost", kivhost)
    with open(os.path.join(scratch, "kivhost-mqtt@.service"), "w", encoding="utf-8") as f:
        f.write(unit)
    code, out, err = run(["systemd-analyze", "verify", "--man=no",
                          os.path.join(scratch, "kivhost-mqtt@line1.service")])
    check(code == 0 and not (out + err).strip(), f"systemd-analyze verify: {code} {out} {err}")


def test_zip(build, scratch, wine_run):
    package = make_package(build, scratch, "vududidi-*-win32.zip")
    if package is None:
        return
    root = os.path.join(scratch, "root")
    with zipfile.ZipFile(package) as archive:
        archive.extractall(root)
    programs = glob.glob(os.path.join(root, "**", "kivhost.exe"), recursive=True)
    if len(programs) != 1:
        failures.append(f"the zip holds {len(programs)} kivhost.exe")
        return
    top = os.path.dirname(programs[0])
    for name in ("VUDUDIDI.DLL", "QORPRO.DLL", "LICENSE", "README.md"):
        check(os.path.exists(os.path.join(top, name)), f"the zip has no {name} beside kivhost.exe")
    check(os.path.exists(os.path.join(top, "examples", "vxs100-line.tags")),
          "the zip has no examples/vxs100-line.tags")
    check(os.path.isdir(os.path.join(top, "docs")), "the zip has no docs folder")
    code, out, err = run(wine_run + [programs[0], "--version"], cwd=scratch)
    check(code == 0 and out.startswith("kivhost ") and "Build:" in out,
          f"kivhost.exe --version: {code} {out} {err}")
    print("kivhost.exe --version:", version_line(out))
    code, out, err = run(wine_run + [programs[0], "info"], cwd=scratch)
    check(code == 0 and "Visonic" in out, f"kivhost.exe info: {code} {out} {err[-400:]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["deb", "zip"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--wine-run", nargs=2, metavar=("WINE_RUN", "PREFIX"))
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="kiv-package-")
    try:
        if args.kind == "deb":
            test_deb(os.path.abspath(args.build), scratch)
        else:
            test_zip(os.path.abspath(args.build), scratch, list(args.wine_run))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for message in failures:
        print("FAIL:", message)
    print("package test:", "failed" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
