#!/usr/bin/python3
"""Writes the files of the release's self-test: the inputs (data/) and each
case's expected output (expected/), beside selftest.cmd.

make_files.py [--write] [BUILD_DIR]

The inputs are written from the table below. The expected outputs come from
two places, and the script says which for each case:
- worked out by hand (HAND below, many from the end-to-end tests that hold
  the same expectation): written as they are, and the run must agree;
- taken from a run: selftest.cmd under Wine's cmd with the build's binaries
  (BUILD_DIR, default build, with the tests: ./test.sh makes it, its Wine
  prefix and the fc that Wine lacks), its outputs kept with /keep. These
  were checked by reading them once; a change to one is shown as a
  difference.
Every expected file that would change is shown first (old and new, line by
line); it is replaced only with --write. A case whose run disagrees with its
hand-worked expectation is never written: the program or the expectation is
wrong. The exit code is 0 when nothing differs (or everything was written).
"""
import difflib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def utf16(text, order):
    return text.encode("utf-16-le" if order == "le" else "utf-16-be")


# The inputs. values.bin: the extremes of a byte, then letters.
FIXTURES = {
    "values.bin": bytes([0x01, 0x02, 0x7F, 0x80, 0xFF, 0xFE]) + b"ABCDEFGHIJKLM",
    "digits.bin": b"0123456789" * 10,
    "repeat.bin": b"A" * 64 + b"B" * 16,
    "letters.txt": b"ABCDEFGHIJKLMNOPQRS",
    "abcde.txt": b"ABCDE",
    "hello.txt": b"Hello, zip!\n",
    "euro.txt": "\u20acuro".encode("utf-8"),
    "utf8.txt": "Gr\u00fc\u00dfe \U0001F600 \u20ac\r\n".encode("utf-8"),
    "utf16le.txt": b"\xFF\xFE" + utf16("Gr\u00fc\u00dfe \u20ac\r\n", "le"),
    "utf16be.txt": b"\xFE\xFF" + utf16("Gr\u00fc\u00dfe \u20ac\r\n", "be"),
    "utf16le-nobom.txt": utf16("Hello, UTF-16 text!\r\n", "le"),
    "utf16be-nobom.txt": utf16("Hello, UTF-16 text!\r\n", "be"),
    "utf32le.txt": "\ufeffHi, UTF-32!\r\n".encode("utf-32-le"),
    "utf32be.txt": "\ufeffHi, UTF-32!\r\n".encode("utf-32-be"),
    # 162 bytes (EBCDIC needs 128): letters, digits and blanks only, so that
    # no byte looks like an ASCII letter or digit.
    "ebcdic.txt": ("The quick brown fox jumps over the lazy dog 0123456789 " * 3).encode("cp1140")[:162],
    "cp437.txt": "\u250c\u2500\u2500\u2510 Gr\u00f6\u00dfe \u00bd\r\n".encode("cp437"),
    "devices.lst": b"CON\r\nAUX\r\n",
}

B = "\r\n"
NOTICE = "\r\nFile \u201c-\u201d is empty.\r\n"  # standard input from NUL


def line(address, values, text, width=16):
    """A hex byte line of 16 bytes a line: address, two blanks, each byte and a
    blank, a blank after the eighth and the sixteenth place, the text."""
    cells = [f"{v:02x} " for v in values] + ["   "] * (width - len(values))
    return f"{address:08x}  " + "".join(cells[:8]) + " " + "".join(cells[8:]) + " " + text


def exit_code(code):
    return f"exit code {code}\r\n"


# Worked out by hand: the case's whole output (standard output and standard
# error in one file) and its exit line.
HAND = {
    # values.bin in bytes: controls and DEL as middle dots; in code page 1252
    # 80 is the euro sign, FF y with diaeresis, FE thorn.
    "bytes": line(0, FIXTURES["values.bin"][:16], "\u00b7\u00b7\u00b7\u20ac\u00ff\u00feABCDEFGHIJ") + B +
             line(0x10, b"KLM", "KLM" + " " * 13) + B + B + exit_code(0),
    # DumpTest.StandardInputInHexBytes: a partial last line keeps the text column.
    "pipe": line(0, b"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP") + B +
            line(0x10, b"QRS", "QRS" + " " * 13) + B + B + exit_code(0),
    # The same from a file, with the header: 7-bit text is called ASCII.
    "ascii": "\r\n<stdin>\r\n  \u2022  19 bytes    ASCII\r\n\r\n" + line(0, b"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP") +
             B + line(0x10, b"QRS", "QRS" + " " * 13) + B + B + exit_code(0),
    # DumpTest.TotalsForWordsFromStandardInput: words fit 24 bytes in 100 columns.
    "pipe-totals-words": "00000000  4241 4443 0045 " + " " * 5 + " " + " " * 20 + " " + " " * 20 + " " +
                         "ABCDE" + " " * 19 + B + B + "Displayed 5 bytes (3 words) from <stdin>." + B + exit_code(0),
    # DumpTest.Utf8TextJoinsTheBytesOfACharacter.
    "utf8-euro": "00000000  e2-82-ac 75 72 6f " + " " * 6 + " " + " " * 24 + " " + "\u20ac  uro" + " " * 10 + B + B +
                 exit_code(0),
    # DumpTest.StartingFromTheEnd: offset 84 onwards.
    "window-from-end": line(84, b"4567890123456789", "4567890123456789") + B + B + exit_code(0),
    # /C:4 /E:12: the eight bytes from offset 4, the address is the offset.
    "window-start-end": line(4, b"45678901", "45678901" + " " * 8) + B + B + exit_code(0),
    # /K:8 /ML:3: eight bytes a line, three lines; a group of 8 ends each line.
    "window-width-lines": "".join(f"{a:08x}  " + " ".join(f"{c:02x}" for c in b"0123456789" * 3)[a * 3:a * 3 + 23] +
                                  "  " + ("0123456789" * 3)[a:a + 8] + B for a in (0, 8, 16)) + B + exit_code(0),
    # DumpTest.UnixStyleCollapsesRepeatedLines: LF line ends, "*", the length.
    "unix-style": line(0, b"A" * 16, "A" * 16) + "\n*\n" + line(0x40, b"B" * 16, "B" * 16) + "\n00000050\n" +
                  exit_code(0),
    # DumpTest.TotalsNameTheFile, with values.bin: 19 bytes, 10 words, all on
    # one line of 24 bytes (the last word 004d: the byte past the end counts
    # as 0).
    "totals-file": NOTICE + "00000000  0201 807f feff 4241  4443 4645 4847 4a49  4c4b 004d " + " " * 10 + " " +
                   "\u00b7\u00b7\u00b7\u20ac\u00ff\u00feABCDEFGHIJKLM" + " " * 5 + B +
                   B + "Displayed 19 bytes (10 words) from \u201cvalues.bin\u201d." + B + exit_code(0),
    # CommandOptionsE2E.BadOptionsFailWithTheirMessage: nothing on standard output.
    "bad-option": "Bytora plugin: Unknown option: \"/BOGUS\"" + B + exit_code(1),
    "bad-width": "Bytora plugin: HexWidth must be \u2264 80: 81" + B + exit_code(1),
    # CommandOptionsE2E.CheckAfterTheMarkStillFails: the mark is out before the check.
    "bad-width-after-mark": "\ufeffBytora plugin: HexWidth must be a multiple of 8: 20" + B + exit_code(1),
    # CommandOptionsE2E.FormatAndSuboptionHelp.
    "format-help": "BYTORA /F:  \u2014 numeric base for values\n\n\t/F:O  or  /F:8  \toctal\n"
                   "\t/F:D  or  /F:10 \tdecimal\n\t/F:S  or  /F:+  \tsigned decimal\n"
                   "\t/F:H  or  /F:16 \thexadecimal  (default) \n\n"
                   "You can replace the colon with an equals sign, or just omit it. \n" + exit_code(0),
    # FileArgs.APatternMatchingNothingFails, the folder left out by selftest.cmd.
    "missing-file": NOTICE + "Bytora plugin: No matching files: \"...\\nothere.bin\"" + B + exit_code(2),
    # release_zip.sh: the mark, then the dump; LF as a middle dot.
    "mark-utf8": "\ufeff" + line(0, b"Hello, zip!\n", "Hello, zip!\u00b7    ") + B + B + exit_code(0),
    # The runner alone (RunnerTest.SaysWhichFileIsMissingOrWrongAndWhere): the first line.
    "runner-alone": "bytora: Bytora.dll not found. Looked for:" + B + exit_code(126),
    # Every file named in the list is dumped: "the file CON" and "the file AUX".
    "list-con-aux": NOTICE + line(0, b"the file CON\r\n", "the file CON\u00b7\u00b7  ") + B + B +
                    line(0, b"the file AUX\r\n", "the file AUX\u00b7\u00b7  ") + B + B + exit_code(0),
}


def tree_dump(*words):
    """The dump of the tree's files holding these words (written by echo)."""
    out = NOTICE
    for word in words:
        data = word.encode() + b"\r\n"
        out += line(0, data, word + "\u00b7\u00b7" + " " * (14 - len(word))) + B + B
    return out + exit_code(0)


HAND.update({
    # One file a folder: top.txt, one\one.txt, one\two\two.txt, in walk order.
    "tree-all": tree_dump("top", "one", "two"),
    "tree-depth-1": tree_dump("top", "one"),
    "tree-below-1": tree_dump("one", "two"),
    # /[S1,10]: the .txt files of 5 bytes, not the .log files.
    "tree-size-filter": tree_dump("top", "one", "two"),
})

# The mark in UTF-16 (FF FE), then the same text in UTF-16LE; cmd writes the
# exit line.
HAND["mark-utf16"] = HAND["mark-utf8"][:-len(exit_code(0))].encode("utf-16-le") + exit_code(0).encode()


def hand_bytes(name):
    value = HAND[name]
    return value if isinstance(value, bytes) else value.encode("utf-8")


def read_or_none(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def write_fixtures(data_dir, write):
    changed = False
    os.makedirs(data_dir, exist_ok=True)
    for name, data in FIXTURES.items():
        path = os.path.join(data_dir, name)
        old = read_or_none(path)
        if old != data:
            changed = True
            print(f"data/{name}: {'new' if old is None else 'changed'}")
            if write:
                with open(path, "wb") as f:
                    f.write(data)
    for name in sorted(os.listdir(data_dir)):
        if name not in FIXTURES:
            changed = True
            print(f"data/{name}: no longer an input")
            if write:
                os.remove(os.path.join(data_dir, name))
    return changed


def show(data):
    """Lines of an output for a difference: text where it decodes, with the
    line ends and controls visible."""
    for encoding in ("utf-8", "utf-16"):
        try:
            text = data.decode(encoding)
            break
        except UnicodeDecodeError:
            continue
    else:
        text = data.decode("latin-1")
    return [repr(part + "\n")[1:-1] for part in text.split("\n")]


def run_selftest(build_dir, data_dir, expected_dir):
    """The outputs selftest.cmd keeps, {case: bytes}, from the build's binaries
    laid out as in the zip, under Wine with the test's fc (Wine 8's fc
    compares nothing)."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    from package import windows_text
    work = tempfile.mkdtemp(prefix="bytora-selftest-files.")
    try:
        runner = os.path.join(work, "zip", "runner")
        os.makedirs(runner)
        for name, folder in (("Bytora.dll", os.path.join(work, "zip")), ("bytora.exe", runner),
                             ("TakeCmd.dll", runner)):
            shutil.copy(os.path.join(build_dir, "bin", name), folder)
        with open(os.path.join(HERE, "selftest.cmd"), encoding="utf-8") as f:
            with open(os.path.join(runner, "selftest.cmd"), "wb") as out:
                out.write(windows_text(f.read()))
        shutil.copytree(data_dir, os.path.join(runner, "selftest", "data"))
        shutil.copytree(expected_dir, os.path.join(runner, "selftest", "expected"))
        env = dict(os.environ, WINEPREFIX=os.path.join(build_dir, "wineprefix"), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", WINEPATH=winepath(os.path.join(build_dir, "test-tools")))
        keep = os.path.join(work, "kept")
        script = winepath(os.path.join(runner, "selftest.cmd"))
        with open(os.path.join(work, "log"), "wb") as log:
            subprocess.run(["wine", "cmd", "/c", script, "/keep", winepath(keep)], cwd=work, env=env,
                           stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        with open(os.path.join(work, "log"), "rb") as log:
            sys.stdout.write(log.read().decode("utf-8", "replace").replace("\r\n", "\n"))
        kept = {}
        for name in sorted(os.listdir(keep)) if os.path.isdir(keep) else []:
            with open(os.path.join(keep, name), "rb") as f:
                kept[name[:-4]] = f.read()
        return kept
    finally:
        shutil.rmtree(work, ignore_errors=True)


def winepath(path):
    """The name of a Unix path under Wine: its drive Z: is the root."""
    return "Z:" + path.replace("/", "\\")


def main(argv):
    args = [a for a in argv[1:] if a != "--write"]
    write = "--write" in argv[1:]
    if len(args) > 1 or any(a.startswith("-") for a in args):
        sys.exit(__doc__.strip().splitlines()[3])
    build_dir = os.path.abspath(args[0] if args else os.path.join(ROOT, "build"))
    if not os.path.exists(os.path.join(build_dir, "test-tools", "fc.exe")):
        sys.exit(f"make_files: no {build_dir}/test-tools/fc.exe: build with the tests first (./test.sh)")
    data_dir, expected_dir = os.path.join(HERE, "data"), os.path.join(HERE, "expected")
    differs = write_fixtures(data_dir, write)
    if differs and not write:
        print("make_files: the inputs differ: run again with --write before the outputs can be made")
        return 1
    os.makedirs(expected_dir, exist_ok=True)
    kept = run_selftest(build_dir, data_dir, expected_dir)
    if not kept:
        print("make_files: selftest.cmd kept no output")
        return 1
    wrong = []
    for name, got in kept.items():
        if name in HAND:
            new, source = hand_bytes(name), "worked out by hand"
            if got != new:
                wrong.append(name)
                print(f"{name}: the run differs from the hand-worked expectation:")
                sys.stdout.writelines(d + "\n" for d in difflib.unified_diff(
                    show(new), show(got), "by hand", "the run", lineterm=""))
                continue
        else:
            new, source = got, "taken from the run"
        path = os.path.join(expected_dir, name + ".txt")
        old = read_or_none(path)
        if old == new:
            continue
        differs = True
        print(f"expected/{name}.txt ({source}): {'new' if old is None else 'changed'}")
        sys.stdout.writelines(d + "\n" for d in difflib.unified_diff(
            show(old or b""), show(new), "old", "new", lineterm=""))
        if write:
            with open(path, "wb") as f:
                f.write(new)
    for name in sorted(os.listdir(expected_dir)):
        if name[:-4] not in kept:
            differs = True
            print(f"expected/{name}: no such case")
            if write:
                os.remove(os.path.join(expected_dir, name))
    missing = sorted(set(HAND) - set(kept))
    if missing:
        print("make_files: hand-worked cases selftest.cmd does not run: " + ", ".join(missing))
    taken = sorted(set(kept) - set(HAND))
    print(f"make_files: {len(kept)} cases, {len(kept) - len(taken)} worked out by hand, "
          f"{len(taken)} taken from the run ({', '.join(taken)})")
    if wrong or missing:
        return 1
    return 0 if write or not differs else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
