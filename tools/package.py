#!/usr/bin/python3
"""Writes the release zip and its .sha256 from the three binaries.

package.py ZIP VERSION SOURCE_ROOT BYTORA_DLL BYTORA_EXE TAKECMD_DLL

The zip holds the same bytes whenever it is written from the same binaries:
fixed entry order, every entry dated by SOURCE_DATE_EPOCH (else the time of
the source's last commit), no owner or permission bits. README.txt is the
template tools/README-windows.txt with the version and the option tables of
README.md filled in; it, LICENSE.txt (the top-level LICENSE),
THIRD-PARTY-NOTICES.txt and runner/selftest.cmd have Windows line ends. The
self-test's inputs and expected outputs (tools/selftest/data and expected)
follow under runner/selftest/, byte for byte, in name order.
"""
import datetime
import hashlib
import os
import re
import subprocess
import sys
import textwrap
import zipfile


def release_time(root):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"], check=True,
                                   capture_output=True, text=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            epoch = ""
    if not epoch.isdigit():
        sys.exit("package.py: no commit time: set SOURCE_DATE_EPOCH or build from a git checkout")
    # Zip times are local times without a zone, from 1980 on: the commit's UTC time.
    when = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return max(when.timetuple()[:6], (1980, 1, 1, 0, 0, 0))


def markdown_tables(text):
    """Every table of a Markdown text, each a list of rows of cell texts (header first)."""
    tables, rows = [], []
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = re.split(r"(?<!\\)\|", line.strip())[1:-1]
            if not all(re.fullmatch(r"\s*-+\s*", c) for c in cells):
                rows.append([c.strip().replace("\\|", "|").replace("`", "") for c in cells])
        elif rows:
            tables.append(rows)
            rows = []
    return tables


def options_text(readme):
    """Each option on a line of its own and its meaning indented below it: readable in
    Notepad without wide columns; the selection table's examples on a line of their own."""
    out = []
    for table in markdown_tables(readme):
        header, body = table[0], table[1:]
        if header[0] != "option":
            continue
        for row in body:
            out.append(row[0])
            out.extend(textwrap.wrap(row[1], 76, initial_indent="    ", subsequent_indent="    ",
                                     break_on_hyphens=False))
            if len(row) > 2 and row[2]:
                out.append("    e.g. " + row[2])
        out.append("")
    return "\n".join(out).rstrip("\n")


def windows_text(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def text_file(root, name):
    with open(os.path.join(root, name), encoding="utf-8") as f:
        return windows_text(f.read())


def readme_txt(root, version):
    with open(os.path.join(root, "tools", "README-windows.txt"), encoding="utf-8") as f:
        template = f.read()
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        options = options_text(f.read())
    if not options:
        sys.exit("package.py: no option tables found in README.md")
    return windows_text(template.replace("@VERSION@", version).replace("@OPTIONS@", options))


def selftest_entries(root):
    """selftest.cmd beside the runner, then its inputs and expected outputs as they are."""
    folder = os.path.join(root, "tools", "selftest")
    with open(os.path.join(folder, "selftest.cmd"), encoding="utf-8") as f:
        entries = [("runner/selftest.cmd", windows_text(f.read()))]
    for part in ("data", "expected"):
        for name in sorted(os.listdir(os.path.join(folder, part))):
            with open(os.path.join(folder, part, name), "rb") as f:
                entries.append((f"runner/selftest/{part}/{name}", f.read()))
    return entries


def main(argv):
    if len(argv) != 7:
        sys.exit(__doc__.strip().splitlines()[2])
    zip_path, version, root, plugin, runner, host = argv[1:]
    when = release_time(root)
    with open(plugin, "rb") as p, open(runner, "rb") as r, open(host, "rb") as h:
        entries = [("Bytora.dll", p.read()), ("LICENSE.txt", text_file(root, "LICENSE")),
                   ("README.txt", readme_txt(root, version)),
                   ("THIRD-PARTY-NOTICES.txt", text_file(root, "THIRD-PARTY-NOTICES.txt")),
                   ("runner/bytora.exe", r.read()), ("runner/TakeCmd.dll", h.read())]
    entries += selftest_entries(root)
    # Written beside and renamed into place: a failed run leaves no half zip.
    partial = zip_path + ".part"
    try:
        with zipfile.ZipFile(partial, "w") as z:
            for name, data in entries:
                info = zipfile.ZipInfo(name, when)
                # MS-DOS attributes, just the archive bit, as Windows writes them: no
                # Unix owner or permissions of the build machine (0 would get rw-------).
                info.create_system = 0
                info.external_attr = 0x20
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data, compresslevel=9)
        os.replace(partial, zip_path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    with open(zip_path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    # The form sha256sum -c reads.
    with open(zip_path + ".sha256", "w", encoding="ascii", newline="\n") as f:
        f.write(f"{digest}  {os.path.basename(zip_path)}\n")
    print(f"{digest}  {os.path.basename(zip_path)}")


if __name__ == "__main__":
    main(sys.argv)
