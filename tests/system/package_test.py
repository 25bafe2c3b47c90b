#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Debian package as a user gets it: made by CPack from the build tree, its control fields and file list,
lintian, and the programs unpacked anywhere finding their string tables and help page beside themselves; the
manual pages without a warning from man and listing what --help lists. Under CI=true (a throwaway machine) it
is also installed with apt-get, run from /usr, and removed, leaving behind no file that was not there."""

import glob
import gzip
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import Server, main, step  # noqa: E402

FILES = {"usr/bin/vemdo-trackpad", "usr/bin/vemdo-client", "usr/share/applications/vemdo-trackpad.desktop",
         "usr/share/icons/hicolor/scalable/apps/vemdo-trackpad.svg", "usr/share/man/man1/vemdo-trackpad.1.gz",
         "usr/share/man/man1/vemdo-client.1.gz", "usr/share/doc/vemdo-trackpad/copyright",
         "usr/share/doc/vemdo-trackpad/changelog.gz", "usr/share/vemdo-trackpad/strings/en.strings",
         "usr/share/vemdo-trackpad/strings/tr.strings", "usr/share/vemdo-trackpad/help/input.html",
         "usr/share/vemdo-trackpad/icons/vemdo-trackpad.svg"}
OPTION = r"(?<![\w-])--?[a-z][\w-]*"
# The items of --help, against the tags of a manual page's section: options are the lines indented by two spaces
# that start with a dash, commands those that start with a word and go on after a gap to say what it does.
HELP_ITEMS = {"OPTIONS": r"^  (-.*?)(?:  |$)", "COMMANDS": r"^  ([a-z]+)\b.*? {2}\S"}


def names(items):
    """Option names in items that start with one, else each item's first word."""
    return {n for i in items for n in (re.findall(OPTION, i) if i.startswith("-") else i.split()[:1])}


def page_tags(page, section):
    with gzip.open(page, "rt") as f:
        body = re.split(r"\n\.S[HS] ", f.read().split(f"\n.SH {section}\n", 1)[1])[0]
    # Tags indented under an item (the values of --input) are not items of their own.
    body = re.sub(r"^\.RS.*?^\.RE", "", body, flags=re.M | re.S)
    return [re.sub(r'^\.[A-Z]+ |\\f[BIRP]|"', "", tag).replace("\\-", "-")
            for tag in re.findall(r"^\.TP.*\n(.*)", body, re.M)]


def run_from(h, root, name):
    """The server under root ("" for /): its version, then in Turkish, with the string tables and help page under
    root."""
    program = f"{root}/usr/bin/vemdo-trackpad"
    assert h.run([program, "--version"]).stdout == f"vemdo-trackpad {h.args.project_version}\n"
    server = h.spawn([program, "--headless"], env=h.server_env(name, LANG="tr_TR.UTF-8"), cls=Server)
    server.wait_status(lambda s: s.code and s.port and s.lines[1].startswith("Eşleştirme Kodu: "), "Turkish")
    help_page = server.wait_line(r"How to make input possible: .*", "err").split(": ", 1)[1]
    assert help_page == f"{root}/usr/share/vemdo-trackpad/help/input.html", help_page
    assert os.path.isfile(help_page)
    h.forget(server)


def files_of_system():
    return {os.path.join(d, f) for top in ("/usr", "/etc", "/opt", "/var/lib/dpkg/info")
            for d, _, fs in os.walk(top) if "__pycache__" not in d for f in fs}


def scenario(h):
    step("CPack over the build tree's install rules")
    h.run(["cpack", "--config", f"{h.args.build}/CPackConfig.cmake", "-B", h.path("out")], check=True,
          timeout=300, cwd=h.args.build)
    arch = h.run(["dpkg", "--print-architecture"], check=True).stdout.strip()
    deb = h.path("out", f"vemdo-trackpad_{h.args.project_version}_{arch}.deb")
    assert glob.glob(h.path("out", "*.deb")) == [deb], os.listdir(h.path("out"))

    step("control fields, with the libraries found by dpkg-shlibdeps and Qt's plugins; the files")
    field = lambda name: h.run(["dpkg-deb", "-f", deb, name], check=True).stdout.strip()
    assert (field("Package"), field("Version"), field("Section"), field("Recommends")) == (
        "vemdo-trackpad", h.args.project_version, "utils", "avahi-daemon")
    depends = {d.split()[0] for d in field("Depends").split(", ")}
    assert {"libqt6widgets6", "libavahi-client3", "libc6", "libqt6svg6", "qt6-wayland"} <= depends, depends
    assert len(field("Description").splitlines()) > 5, field("Description")
    listing = [line.split() for line in h.run(["dpkg-deb", "-c", deb], check=True).stdout.splitlines()]
    files = {f[5][2:] for f in listing if f[0][0] == "-"}
    assert files == FILES, f"extra {files - FILES}, missing {FILES - files}"

    step("lintian: no error and no warning")
    lint = h.run(["lintian", "--fail-on", "error,warning", deb], timeout=300)
    print(lint.stdout, end="", flush=True)
    assert lint.returncode == 0, lint

    step("unpacked: the desktop entry's Exec, the changelog's version")
    root = h.path("unpacked")
    h.run(["dpkg-deb", "-x", deb, root], check=True)
    with open(f"{root}/usr/share/applications/vemdo-trackpad.desktop") as f:
        assert "\nExec=/usr/bin/vemdo-trackpad\n" in f.read()
    with gzip.open(f"{root}/usr/share/doc/vemdo-trackpad/changelog.gz", "rt") as f:
        assert f.readline().startswith(f"vemdo-trackpad ({h.args.project_version}) ")

    step("unpacked: the server's version, and the string tables and help page it reads beside itself")
    run_from(h, root, "unpacked")

    step("the manual pages: no warning from man, and the lists that --help gives")
    for program in ("vemdo-trackpad", "vemdo-client"):
        shown = h.run(["man", "--warnings", "-l", f"{root}/usr/share/man/man1/{program}.1.gz"],
                      env=dict(h.env, MANWIDTH="80"))
        assert (shown.returncode, shown.stderr) == (0, ""), shown
    for program, section in (("vemdo-trackpad", "OPTIONS"), ("vemdo-client", "OPTIONS"), ("vemdo-client", "COMMANDS")):
        usage = h.run([f"{root}/usr/bin/{program}", "--help"], check=True).stdout
        listed = names(re.findall(HELP_ITEMS[section], usage, re.M))
        assert listed == names(page_tags(f"{root}/usr/share/man/man1/{program}.1.gz", section)), (program, listed)

    if os.environ.get("CI") != "true":
        print("NOT RUN: installing with apt-get and removing again: only under CI=true, on a throwaway machine, "
              "since it changes this machine's /usr", flush=True)
        return
    step("installed with apt-get, run from /usr, removed: nothing left behind")
    installed = h.run(["dpkg-query", "-W", "-f", "${Status}", "vemdo-trackpad"]).stdout
    assert "installed" not in installed.split(), f"vemdo-trackpad is already installed here: {installed}"
    before = files_of_system()
    apt = lambda *args: h.run(["apt-get", *args, "-y", "-q"], env=dict(h.env, DEBIAN_FRONTEND="noninteractive"),
                              timeout=300)
    try:
        result = apt("install", deb)
        assert result.returncode == 0, result
        assert h.run(["man", "-w", "vemdo-client"]).stdout == "/usr/share/man/man1/vemdo-client.1.gz\n"
        run_from(h, "", "installed")
    finally:
        result = apt("remove", "--purge", "vemdo-trackpad")
    assert result.returncode == 0, result
    left = files_of_system() - before
    assert not left, f"left behind: {sorted(left)}"


if __name__ == "__main__":
    main({"package": scenario}, ["cpack", "dpkg-deb", "lintian", "man"], "build", "project-version")
