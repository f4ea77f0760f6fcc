#!/usr/bin/python3
"""The release zip as a Windows user gets it, read without Wine: the entries
in their fixed order and time, the licence and the notices, and in each of the
three binaries the version resource (what Explorer's Details tab shows), the
Windows version its headers ask for, no link time stamp, no symbols and no
folder of the build machine; every library the link brought in (from the
build's link maps) is named in the notices for that binary.

release_binaries.py ZIP SOURCE_DIR BUILD_DIR; exit code 0 when every check passed.
"""
import datetime
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

VERSION = "0.96.9.1"
VERSION_NUMBERS = (0, 96, 9, 1)
VFT_APP, VFT_DLL = 1, 2
VOS_NT_WINDOWS32 = 0x40004
RT_VERSION = 16

# entry, file type, description, internal name
BINARIES = [
    ("Bytora.dll", VFT_DLL, "Dump files to standard output as hex", "Bytora"),
    ("runner/bytora.exe", VFT_APP, "Bytora stand-alone runner: the BYTORA command without Take Command", "bytora"),
    ("runner/TakeCmd.dll", VFT_DLL,
     "Bytora stand-in host services for bytora.exe (not Take Command's TakeCmd.dll)", "TakeCmd"),
]
ENTRIES = ["Bytora.dll", "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt", "runner/bytora.exe",
           "runner/TakeCmd.dll"]
# Windows 7: the binaries search folders with FindExInfoBasic and large fetches.
WINDOWS_VERSION = (6, 1)

passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
        print(f"ok: {what}")
    else:
        failed += 1
        print(f"FAILED: {what}")
    return ok


class Pe:
    """The parts of a PE32+ file the checks read."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, self.symbols_at, self.symbols,
         optional_size, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not PE32+")
        os_major, os_minor, _, _, sub_major, sub_minor = struct.unpack_from("<6H", data, optional + 40)
        self.os_version, self.subsystem_version = (os_major, os_minor), (sub_major, sub_minor)
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((name, rva, max(vsize, raw_size), raw_at))

    def offset(self, rva):
        for _, start, size, raw_at in self.sections:
            if start <= rva < start + size:
                return raw_at + rva - start
        raise ValueError(f"RVA {rva:#x} in no section")

    def directory(self, index):
        rva, size = self.directories[index] if index < len(self.directories) else (0, 0)
        return (self.offset(rva), size) if rva and size else (None, 0)

    def c_string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imported_dlls(self):
        """The names of the DLLs the import table names, lower case."""
        at, _ = self.directory(1)
        names = []
        while at is not None and any(self.data[at:at + 20]):
            names.append(self.c_string(struct.unpack_from("<I", self.data, at + 12)[0]).lower())
            at += 20
        return names

    def version_resource(self):
        """The bytes of the first language of resource RT_VERSION, id 1; None when absent."""
        root, _ = self.directory(2)
        if root is None:
            return None
        at = root
        for wanted in (RT_VERSION, 1, None):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            entries = [struct.unpack_from("<II", self.data, at + 16 + 8 * i) for i in range(named + ids)]
            match = [target for key, target in entries if wanted is None or key == wanted]
            if not match:
                return None
            at = root + (match[0] & 0x7FFFFFFF)
            if wanted is None:
                rva, size = struct.unpack_from("<II", self.data, at)
                return self.data[self.offset(rva):self.offset(rva) + size]
        return None


def align4(n):
    return (n + 3) & ~3


def version_block(data, at=0):
    """One block of a version resource: (key, value, children), each child a block."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    if length < 8 or end > len(data):
        raise ValueError(f"version block of {length} bytes at {at}")
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    pos = align4(key_end + 2)
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + value_bytes]
    if kind == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    pos = align4(pos + value_bytes)
    children = []
    while pos < end:
        child = version_block(data, pos)
        children.append(child[:3])
        pos = align4(child[3])
    return key, value, children, end


def check_binary(name, data, file_type, description, internal, forbidden):
    try:
        pe = Pe(data)
        resource = pe.version_resource()
        version = version_block(resource) if resource else None
    except (ValueError, struct.error) as e:
        check(False, f"{name}: readable PE32+ file with a readable version resource ({e})")
        return
    check(pe.machine == 0x8664, f"{name}: built for x64 (machine {pe.machine:#x})")
    check(pe.os_version == WINDOWS_VERSION and pe.subsystem_version == WINDOWS_VERSION,
          f"{name}: headers ask for Windows {WINDOWS_VERSION} (OS {pe.os_version}, subsystem {pe.subsystem_version})")
    # No link time: the same commit links to the same bytes.
    export, export_size = pe.directory(0)
    export_time = struct.unpack_from("<I", data, export + 4)[0] if export is not None else 0
    check(pe.timestamp == 0 and export_time == 0,
          f"{name}: no link time stamp (header {pe.timestamp:#x}, exports {export_time:#x})")
    debug = [s[0] for s in pe.sections if s[0].startswith(".debug") or s[0].startswith("/")]
    check(pe.symbols_at == 0 and pe.symbols == 0 and not debug,
          f"{name}: stripped ({pe.symbols} symbols, debug sections {debug})")
    found = [text for text in forbidden if text.encode() in data or text.encode("utf-16-le") in data]
    check(not found, f"{name}: no build-machine folder inside (found {found})")

    if version is None:
        check(False, f"{name}: has a version resource")
        return
    key, fixed, children, _ = version
    if not check(key == "VS_VERSION_INFO" and len(fixed) == 52, f"{name}: VS_VERSION_INFO with a fixed part ({key!r})"):
        return
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, flags, os_, kind, _, _, _) = \
        struct.unpack("<13I", fixed)
    numbers = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    product = (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF)
    check(signature == 0xFEEF04BD, f"{name}: fixed part signature {signature:#x}")
    check(numbers == VERSION_NUMBERS and product == VERSION_NUMBERS,
          f"{name}: file version {numbers} and product version {product} are {VERSION_NUMBERS}")
    check((kind, os_, flags) == (file_type, VOS_NT_WINDOWS32, 0),
          f"{name}: file type {kind}, OS {os_:#x}, flags {flags} (no debug or pre-release flag)")

    blocks = {child[0]: child for child in children}
    tables = blocks.get("StringFileInfo", ("", "", []))[2]
    translation = blocks.get("VarFileInfo", ("", "", []))[2]
    check(len(tables) == 1 and tables[0][0] == "040904B0" and len(translation) == 1 and
          translation[0][0] == "Translation" and translation[0][1] == struct.pack("<HH", 0x409, 1200),
          f"{name}: one string table, 040904B0, the one the Translation entry names")
    strings = {s[0]: s[1] for s in tables[0][2]} if tables else {}
    expected = {"CompanyName": "The Bytora developers", "FileDescription": description, "FileVersion": VERSION,
                "InternalName": internal, "LegalCopyright": "Copyright (c) 2026 The Bytora developers; MIT licence",
                "OriginalFilename": name.split("/")[-1], "ProductName": "Bytora",
                "ProductVersion": VERSION}
    for field, value in expected.items():
        check(strings.get(field) == value, f"{name}: {field} is {value!r} (got {strings.get(field)!r})")


def notice_sections(text):
    """{library: set of zip entries it is named in} from the notices' "N. library" / "in: ..." lines."""
    found = re.findall(r"^\d+\. (\S.*)\r\n +in: (.+)\r\n", text, re.M)
    return {library: {b.strip().replace("\\", "/") for b in binaries.split(",")} for library, binaries in found}


def linked_files(map_text):
    """The toolchain's files a link map shows linked in: archives with members taken, and objects."""
    files = set(re.findall(r"^LOAD (/usr/\S+\.o)$", map_text, re.M))
    members = map_text.split("Archive member included", 1)[-1].split("\nDiscarded input sections", 1)[0]
    return files | set(re.findall(r"^(/usr/\S+\.a)\(", members, re.M))


def library_of(path, imported):
    """The notices' name of the library a toolchain file belongs to; None for one they do not know."""
    name = os.path.basename(path).lower()
    if name in ("libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"):
        return "libgcc"
    if name == "libstdc++.a":
        return "libstdc++"
    if name in ("libpthread.a", "libwinpthread.a"):
        return "winpthreads"
    if name in ("crt2.o", "crt2u.o", "dllcrt2.o", "libmingw32.a", "libmingwex.a", "libmoldname.a"):
        return "MinGW-w64 runtime"
    # The import library of a DLL the binary imports: the runtime's stubs.
    if name.startswith("lib") and name.endswith(".a") and name[3:-2] + ".dll" in imported:
        return "MinGW-w64 runtime"
    return None


def check_notices(name, data, build_dir, sections):
    map_path = os.path.join(build_dir, "link", name.split("/")[-1] + ".map")
    try:
        with open(map_path, encoding="utf-8", errors="replace") as f:
            files = linked_files(f.read())
        imported = Pe(data).imported_dlls()
    except (OSError, ValueError, struct.error) as e:
        check(False, f"{name}: link map and imports readable ({e})")
        return
    linked = {library_of(path, imported) or path for path in files}
    named = {library for library, binaries in sections.items() if name in binaries}
    check(linked == named, f"{name}: the notices name what the link brought in "
                           f"(linked {sorted(linked)}, named {sorted(named)})")


def check_written_again(zip_path, source_dir, build_dir):
    """The zip depends on nothing but its files and its date: written again
    from the build's binaries with the date of its entries (the commit it was
    built from, which may not be the last one), it is the same bytes."""
    binaries = [os.path.join(build_dir, "bin", name) for name in ("Bytora.dll", "bytora.exe", "TakeCmd.dll")]
    with zipfile.ZipFile(zip_path) as z:
        when = datetime.datetime(*z.infolist()[0].date_time, tzinfo=datetime.timezone.utc)
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(int(when.timestamp())))
    with tempfile.TemporaryDirectory() as folder:
        again = os.path.join(folder, os.path.basename(zip_path))
        run = subprocess.run([sys.executable, os.path.join(source_dir, "tools", "package.py"), again, VERSION,
                              source_dir] + binaries, capture_output=True, text=True, env=env)
        same = run.returncode == 0 and pathlib.Path(again).read_bytes() == pathlib.Path(zip_path).read_bytes()
    check(same, f"package.py writes the same zip again from the same files ({run.stderr.strip()})")


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    zip_path, source_dir, build_dir = argv[1:]
    with zipfile.ZipFile(zip_path) as z:
        infos = z.infolist()
        names = [i.filename for i in infos]
        # The self-test beside the runner: its inputs and expected outputs exactly as in the repository.
        selftest = os.path.join(source_dir, "tools", "selftest")
        files = [(f"runner/selftest/{part}/{name}", os.path.join(selftest, part, name))
                 for part in ("data", "expected") for name in sorted(os.listdir(os.path.join(selftest, part)))]
        entries = ENTRIES + ["runner/selftest.cmd"] + [entry for entry, _ in files]
        check(names == entries, f"zip entries in order {entries} (got {names})")
        check(all(entry in names and z.read(entry) == pathlib.Path(path).read_bytes() for entry, path in files),
              "the self-test's inputs and expected outputs are the repository's, byte for byte")
        script = z.read("runner/selftest.cmd") if "runner/selftest.cmd" in names else b""
        check(b"\r\n" in script and b"\n" not in script.replace(b"\r\n", b""), "selftest.cmd has Windows line ends")
        times = {i.date_time for i in infos}
        check(len(times) == 1 and all(i.create_system == 0 and i.external_attr == 0x20 for i in infos),
              f"zip entries share one time and carry no owner or permission bits ({sorted(times)})")
        readme = z.read("README.txt") if "README.txt" in names else b""
        check(f"Bytora {VERSION} for 64-bit Windows\r\n".encode() in readme and b"\n" not in readme.replace(b"\r\n", b"")
              and b"@" + b"OPTIONS@" not in readme and b"/[S" in readme,
              "README.txt names the version, has Windows line ends and the option tables")
        answers = [b"126 ", b"87 ", b"byte-order mark", b"/N:B", b"/![S0,0]", b"Windows 7", b"LICENSE.txt",
                   b"THIRD-PARTY-NOTICES.txt", b"selftest.cmd", b"Checked only under Wine"]
        check(all(a in readme for a in answers), "README.txt speaks of " + ", ".join(a.decode() for a in answers))
        with open(os.path.join(source_dir, "LICENSE"), encoding="utf-8") as f:
            licence = f.read().replace("\n", "\r\n").encode()
        check("LICENSE.txt" in names and z.read("LICENSE.txt") == licence and
              b"Copyright (c) 2026 The Bytora developers" in licence and licence.startswith(b"MIT License"),
              "LICENSE.txt is the repository's MIT licence with Windows line ends")
        notices = z.read("THIRD-PARTY-NOTICES.txt").decode() if "THIRD-PARTY-NOTICES.txt" in names else ""
        sections = notice_sections(notices)
        forbidden = sorted({source_dir.rstrip("/"), build_dir.rstrip("/")})
        for name, file_type, description, internal in BINARIES:
            if name in names:
                check_binary(name, z.read(name), file_type, description, internal, forbidden)
                check_notices(name, z.read(name), build_dir, sections)
    check_written_again(zip_path, source_dir, build_dir)
    print(f"release_binaries: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
