#!/usr/bin/env python3
"""Drives pcmfilter-sim and pcmfilterctl through their command lines.

usage: run_cli_tests.py SIM CTL CASES_DIR GROUP

GROUP is one of: scripts, errors, violation, registry, stdin, interactive.
A script case (CASES_DIR/*.pcm) carries its expectations in comments, which
the simulator ignores:
    # expect-exit: N      the exit status of the run
    #= {JSON}             a fragment that the JSON line of the command just
                          above must contain (objects match by subset)
"""
import json
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

SIM, CTL, CASES, GROUP = sys.argv[1:5]
failures = []


def fail(case, message):
    failures.append(f"{case}: {message}")


def contains(whole, part):
    """Whether `part` is contained in `whole`: objects by subset, the rest by equality."""
    if isinstance(part, dict):
        return isinstance(whole, dict) and all(
            key in whole and contains(whole[key], value) for key, value in part.items())
    if isinstance(part, list):
        return (isinstance(whole, list) and len(whole) == len(part)
                and all(contains(w, p) for w, p in zip(whole, part)))
    return whole == part


def run(args, stdin=None, env=None):
    result = subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=120,
                            env=env)
    lines = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
    return result, lines


def command_lines(lines):
    return [line for line in lines if "cmd" in line]


def run_script_case(path):
    name = os.path.basename(path)
    expected_exit = 0
    fragments = []  # (command index, fragment)
    commands = 0
    with open(path) as script:
        for raw in script:
            line = raw.strip()
            if line.startswith("# expect-exit:"):
                expected_exit = int(line.split(":", 1)[1])
            elif line.startswith("#="):
                fragments.append((commands - 1, json.loads(line[2:])))
            elif line and not line.startswith("#"):
                commands += 1
    result, lines = run([SIM, "--json", path])
    if result.returncode != expected_exit:
        fail(name, f"exit {result.returncode}, expected {expected_exit}\n{result.stdout}"
                   f"{result.stderr}")
    printed = command_lines(lines)
    if len(printed) != commands:
        fail(name, f"{len(printed)} command lines printed for {commands} commands")
        return
    for index, fragment in fragments:
        if not contains(printed[index], fragment):
            fail(name, f"line for '{printed[index]['cmd']}' is {json.dumps(printed[index])}, "
                       f"which lacks {json.dumps(fragment)}")


def test_scripts():
    for entry in sorted(os.listdir(CASES)):
        if entry.endswith(".pcm"):
            run_script_case(os.path.join(CASES, entry))


# Ill-formed lines: each stops the run with status 2 at its line (line 3 of the
# script below), naming what was expected; the state command after it never runs.
ERRORS = [
    ("frobnicate", "a command"),
    ("bus", "a command"),
    ("clock ms 1000", "from 0 to 999"),
    ("clock ms -1", "from 0 to 999"),
    ("clock ms", "clock ms N"),
    ("card insert bus0 16 disk", "a socket"),
    ("card insert bus0 x disk", "a socket"),
    ("card insert bus0 1 floppy", "a card kind"),
    ("card insert bus0 1 ids=", "ids=ID1"),
    ("card insert bus0 1 ids=A,,B", "ids=ID1"),
    ("card insert nosuch 0 disk", "unknown bus"),
    ("card pull bus0 5", "never had one"),
    ("card pull other 0", "unknown bus"),
    ("bus remove nosuch", "unknown bus"),
    ("enumerate nosuch", "unknown bus"),
    ("io bus0 5 read", "never had one"),
    ("io nosuch 0 read", "unknown bus"),
    ("io bus0 0 frob", "io B S OP"),
    ("io bus0 0 scsi", "io B S OP"),
    ("io bus0 0 scsi 2g", "hex digits"),
    ("io bus0 0 pt 2a0", "hex digits"),
    ("io bus0 0 scsi 000102030405060708090a0b0c0d0e0f10", "1 to 16 bytes"),
    ("ctl nosuchverb", "a control verb"),
    ("ctl", "ctl VERB"),
    ("ctl status now", "no further words"),
    ("ctl open root", "an identity"),
    ("ctl raw 0xZZ 0 0", "the control code"),
    ("ctl raw 0x2237D8 0", "ctl raw CODE INLEN OUTLEN"),
    ("ctl raw 0x2237D8 2 0 aabbcc", "at most INLEN"),
    ("ctl raw 0x100000000 0 0", "the control code"),
    ("fault pool ABC", "four characters"),
    ("reg set VexaPCMFilter 0 abc", "hex digits"),
    ("reg get VexaPCMFilter", "reg get KEY NAME"),
    ("driver reload now", "no further words"),
    ("debug violate", "a command"),
]


def test_errors():
    for bad, expected in ERRORS:
        script = f"bus add bus0\ncard insert bus0 0 disk\n{bad}\nstate\n"
        with tempfile.NamedTemporaryFile("w", suffix=".pcm", delete=False) as handle:
            handle.write(script)
        try:
            result, lines = run([SIM, "--json", handle.name])
            if result.returncode != 2:
                fail(bad, f"exit {result.returncode}, expected 2")
            printed = command_lines(lines)
            last = printed[-1] if printed else {}
            if last.get("cmd") != bad or last.get("ok") is not False or last.get("line") != 3:
                fail(bad, f"last line {json.dumps(last)} does not name line 3 as failed")
            elif expected not in last.get("error", ""):
                fail(bad, f"error {last.get('error')!r} does not say {expected!r}")
            if any(line.get("cmd") == "state" for line in printed):
                fail(bad, "a command after the ill-formed line ran")
            # The text form names the script's line on standard error.
            text, _ = run([SIM, handle.name])
            if text.returncode != 2 or f"{handle.name}:3" not in text.stderr:
                fail(bad, f"text mode: exit {text.returncode}, stderr {text.stderr!r}")
        finally:
            os.unlink(handle.name)


def test_violation():
    script = "bus add bus0\ndebug violate\nstate\n"
    result, lines = run([SIM, "--json", "--test-hooks", "-"], stdin=script)
    if result.returncode != 1:
        fail("violation", f"exit {result.returncode}, expected 1")
    found = [line for line in lines if line.get("violation") == "injected-by-test"]
    if len(found) != 1:
        fail("violation", f"no single violation line in {result.stdout}")
    # The command that caused it carries it too, and the run went on.
    printed = command_lines(lines)
    if "violations" not in printed[1] or printed[-1].get("cmd") != "state":
        fail("violation", f"command lines {printed}")
    text, _ = run([SIM, "--test-hooks", "-"], stdin=script)
    if text.returncode != 1 or "verifier violation injected-by-test" not in text.stdout:
        fail("violation text", text.stdout)
    env = dict(os.environ, PCMFILTER_SIM_TEST_HOOKS="1")
    hooked, _ = run([SIM, "--json", "-"], stdin=script, env=env)
    if hooked.returncode != 1:
        fail("violation env", f"exit {hooked.returncode}")


def test_registry():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "machine.reg")
        first, _ = run([SIM, "--json", "--registry", path, "-"],
                       stdin="clock ms 42\nbus add bus0\nctl set-allblock\nctl set-readonly\n")
        if first.returncode != 0 or not os.path.exists(path):
            fail("registry", f"first run exit {first.returncode}, file written: "
                             f"{os.path.exists(path)}")
            return
        with open(path, encoding="utf-8") as handle:
            exported = handle.read()
        if not exported.startswith("Windows Registry Editor Version 5.00") or \
                "VexaPCMFilter\\2]" not in exported:
            fail("registry", f"exported file:\n{exported}")
        # The second run starts from the file: the bus filter loads ALLBLOCK.
        second, lines = run([SIM, "--json", "--registry", path, "-"],
                            stdin="bus add bus0\ncard insert bus0 0 disk\nstate\n"
                                  "reg get VexaPCMFilter\\2 0\n")
        printed = command_lines(lines)
        if second.returncode != 0 or not contains(printed[2], {
                "BlockMode": 3, "ReadOnlyActive": True,
                "buses": {"bus0": {"cards": {"0": {"visible": False}}}}}):
            fail("registry", f"second run: {second.stdout}")
        if not contains(printed[3], {"ok": True, "data": "b1bebe86bebec2c20000"}):
            fail("registry", f"salt of the stored block mode: {printed[3]}")

        # The inspector reads the same file: both settings verify.
        inspected, lines = run([CTL, "settings", path, "--json"])
        settings = lines[0]["settings"] if lines else []
        if inspected.returncode != 0 or not contains(settings, [
                {"setting": "block mode", "verified": True, "meaning": "block mode ALLBLOCK",
                 "value": {"text": "ALLBLOCK"}, "salt": {"text": "42"}},
                {"setting": "read-only", "verified": True,
                 "meaning": "read-only protection active", "value": {"text": "YES"}}]):
            fail("settings", inspected.stdout + inspected.stderr)
        text, _ = run([CTL, "settings", path])
        if "verified: yes" not in text.stdout or "block mode ALLBLOCK" not in text.stdout:
            fail("settings text", text.stdout)

        # pcmfilterctl runs a verb against a simulated machine over that registry.
        status, lines = run([CTL, "--registry", path, "--json", "status"])
        if status.returncode != 0 or not contains(lines[0], {"status": "0x00000000",
                                                             "DeviceState": 0,
                                                             "ProtectionState": 3}):
            fail("pcmfilterctl status", status.stdout + status.stderr)
        cleared, _ = run([CTL, "--registry", path, "clear-readonly"])
        if cleared.returncode != 0 or "STATUS_SUCCESS" not in cleared.stdout:
            fail("pcmfilterctl clear-readonly", cleared.stdout + cleared.stderr)

        # An altered value no longer verifies, and the inspector says why.
        run([SIM, "--registry", path, "-"], stdin="reg set VexaPCMFilter 0 beafbeaf0000\n")
        altered, lines = run([CTL, "settings", path, "--json"])
        block = lines[0]["settings"][0]
        readonly = lines[0]["settings"][1]
        if block.get("verified") is not False or "does not match" not in block.get("why", ""):
            fail("settings altered", json.dumps(block))
        if not contains(readonly, {"verified": True, "meaning": "read-only protection inactive"}):
            fail("settings read-only after clear-readonly", json.dumps(readonly))
        # A missing MAC is named.
        run([SIM, "--registry", path, "-"], stdin="reg delete VexaPCMFilter\\1 257\n")
        missing, lines = run([CTL, "settings", path, "--json"])
        why = lines[0]["settings"][1].get("why", "")
        if "VexaPCMFilter\\1 \"257\" missing" not in why:
            fail("settings missing MAC", why)

        # A malformed registry file is a usage error.
        with open(path, "w") as handle:
            handle.write("not a registry file\n")
        broken, _ = run([SIM, "--registry", path, "-"], stdin="state\n")
        if broken.returncode != 2:
            fail("registry malformed", f"exit {broken.returncode}")


def test_stdin():
    result, lines = run([SIM, "--json"], stdin="# a comment\n\nbus add b\n   \nstate\n")
    printed = command_lines(lines)
    if result.returncode != 0 or [line["cmd"] for line in printed] != ["bus add b", "state"]:
        fail("stdin", result.stdout)
    usage, _ = run([SIM, "--frobnicate"])
    if usage.returncode != 2:
        fail("usage", f"unknown option: exit {usage.returncode}")
    missing, _ = run([SIM, "/nonexistent/script.pcm"])
    if missing.returncode != 2:
        fail("usage", f"missing script: exit {missing.returncode}")


def test_interactive():
    """A session under a pseudo-terminal: prompt, help, line editing, history."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(SIM, [SIM])
    output = b""

    def read_until(marker, start=0, timeout=30):
        nonlocal output
        deadline = time.time() + timeout
        while marker not in output[start:]:
            remaining = deadline - time.time()
            if remaining <= 0:
                raise TimeoutError(f"waiting for {marker!r}; got {output[-800:]!r}")
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise TimeoutError(f"session ended waiting for {marker!r}")
                output += chunk

    try:
        read_until(b"pcmfilter-sim> ")
        start = len(output)
        os.write(fd, b"help\r")
        read_until(b"card insert B S KIND", start)
        read_until(b"pcmfilter-sim> ", start)
        def command(keys, answer):
            start = len(output)
            os.write(fd, keys)
            read_until(answer, start)
            read_until(b"pcmfilter-sim> ", output.index(answer, start))

        command(b"bus add bus0\r", b"bus0 appeared")
        # Line editing: type "xstate", go to the start (Ctrl-A), delete the x (Ctrl-D).
        command(b"xstate\x01\x04\r", b"Driver state:")
        # History: the previous line again with the up arrow.
        command(b"\x1b[A\r", b"Driver state:")
        # A typo is reported and the session goes on.
        command(b"frobnicate\r", b"expected a command")
        os.write(fd, b"\x04")  # Ctrl-D on an empty line ends the session
        read_until(b"End of the run")
    except TimeoutError as error:
        fail("interactive", str(error))
        os.kill(pid, 9)
    _, status = os.waitpid(pid, 0)
    if os.WIFEXITED(status) and os.WEXITSTATUS(status) != 0:
        fail("interactive", f"exit {os.WEXITSTATUS(status)}")


GROUPS = {
    "scripts": test_scripts,
    "errors": test_errors,
    "violation": test_violation,
    "registry": test_registry,
    "stdin": test_stdin,
    "interactive": test_interactive,
}
GROUPS[GROUP]()
for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
