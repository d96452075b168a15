#!/usr/bin/env python3
"""quorin-cli's completion in a real interactive shell (bash with bash-completion, zsh with
compinit) on a pseudo-terminal: each command is offered exactly the options its --help names,
and --mux and --on-read-error their values.

usage: completion_test.py bash|zsh COMPLETION_SCRIPT QUORIN_CLI
"""
import os
import pty
import re
import subprocess
import sys
import tempfile

COMMANDS = ["list", "info", "rip", "jobs", "rename", "decode", "preview", "scan"]
GLOBAL = {"--trace", "--log", "--help"}
OPTION = re.compile(r"(?<![\w-])--[a-z0-9][a-z0-9-]*")


class Shell:
    """An interactive shell on a pty; every answer is read up to a marker the shell prints."""

    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execvpe(argv[0], argv, env)
        import fcntl
        import struct
        import termios
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 200, 250, 0, 0))
        self.serial = 0

    def read_until(self, pattern):
        data = b""
        while not re.search(pattern.encode(), data, re.S):
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise RuntimeError("the shell ended: " + data.decode(errors="replace"))
            data += chunk
        return data.decode(errors="replace")

    def run(self, line):
        """Runs a line and returns what it printed up to the marker and the next prompt (the line
        editor is ready for keys then)."""
        self.serial += 1
        # The marker as typed differs from the marker printed.
        os.write(self.fd, (line + "; echo MARK-$((%d+1))\r" % self.serial).encode())
        return self.read_until(r"MARK-%d\r\n.*\$ " % (self.serial + 1))

    def complete(self, words):
        """What Tab offers after the words: the listing, then the line is dropped."""
        os.write(self.fd, (words + "\t\t\x15").encode())  # Ctrl-U drops the line
        return self.run("true")


def start(kind, script, cli, workdir):
    bindir = os.path.join(workdir, "bin")
    os.mkdir(bindir)
    os.symlink(cli, os.path.join(bindir, "quorin-cli"))
    env = {"PATH": bindir + ":" + os.environ["PATH"], "HOME": workdir, "TERM": "dumb", "LANG": "C"}
    if kind == "bash":
        with open(os.path.join(workdir, "rc"), "w") as rc:
            rc.write("PS1='$ '\nsource /usr/share/bash-completion/bash_completion\n"
                     "source %s\nbind 'set completion-query-items 0'\n"
                     "bind 'set page-completions off'\nbind 'set show-all-if-ambiguous on'\n" % script)
        shell = Shell(["bash", "--noprofile", "--rcfile", os.path.join(workdir, "rc"), "-i"], env)
        shell.run("true")
        return shell
    fdir = os.path.join(workdir, "functions")
    os.mkdir(fdir)
    with open(os.path.join(fdir, "_quorin-cli"), "w") as f, open(script) as src:
        f.write(src.read())
    env["ZDOTDIR"] = workdir
    shell = Shell(["zsh", "-f", "-i"], env)
    shell.run("PS1='$ '; LISTMAX=10000; fpath=(%s $fpath); autoload -Uz compinit; "
              "compinit -u -d %s/zcompdump" % (fdir, workdir))
    return shell


def help_options(cli, command):
    out = subprocess.run([cli, command, "--help"], capture_output=True, text=True,
                         env={"XDG_CONFIG_HOME": "/nonexistent"}).stdout
    options = set()
    for line in out.split("\n"):
        if line.startswith("  -") or line.startswith("  --"):
            options.update(OPTION.findall(line.split("  ", 2)[1] if "  " in line[2:] else line))
    return options | GLOBAL


def main():
    kind, script, cli = sys.argv[1:4]
    failures = []
    with tempfile.TemporaryDirectory() as workdir:
        shell = start(kind, os.path.abspath(script), os.path.abspath(cli), workdir)
        offered = set(shell.complete("quorin-cli ").split())
        for c in COMMANDS:
            if c not in offered:
                failures.append("no command %s after 'quorin-cli '" % c)
        for c in COMMANDS:
            want = help_options(cli, c)
            got = set(OPTION.findall(shell.complete("quorin-cli %s --" % c)))
            got.discard("--" + c)  # the echo of the line
            if got != want:
                failures.append("%s: offered %s, the help names %s; missing %s, extra %s" % (
                    c, sorted(got), sorted(want), sorted(want - got), sorted(got - want)))
        values = {"rip --mux ": {"mkv", "mpg", "ts"},
                  "jobs --on-read-error ": {"salvage", "stop"},
                  "scan --disk /dev/null --on-read-error s": {"salvage", "stop"}}
        for words, want in values.items():
            listing = shell.complete("quorin-cli " + words)
            if not want <= set(listing.split()):
                failures.append("%s: %s not all offered in %r" % (words, sorted(want), listing))
    for f in failures:
        print(kind + ": " + f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
