"""Builds a staged distribution's Windows Installer package and its setup; tools/package installs
what this needs and runs it with the same arguments (its usage is there).

The package is packaging/zorvan.wxs and the stage's files, built with wixl; what wixl cannot
write (the custom actions and their order, the locks, short names, the RemoveFile rows of what
Install.exe makes) is added through Libmsi's SQL, and every table is read back afterwards,
because wixl drops what it does not know without failing."""

import argparse
import fcntl
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import gi
import pefile

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402
from distribution import ACTIVE_BOOT, BOOT_FILES, CONFIGURATION, LAUNCHERS  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
WXS = ROOT / "packaging" / "zorvan.wxs"
UPGRADE_CODE = re.search(r'UpgradeCode="([^"]+)"', WXS.read_text()).group(1)
# Where the sample setup (packaging/setup.nsi) registers itself with Add or Remove Programs.
SETUP_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Zorvan setup"
# Install.exe makes these in bin (installer/install_files.cpp); it puts each in place through
# <name>.tmp, which a killed run may leave, and sets a running launcher aside as <name>.old.
MADE = LAUNCHERS + BOOT_FILES + [ACTIVE_BOOT, CONFIGURATION]
# Protected from what the folders above hold: SYSTEM and Administrators may do anything, Users
# (and an owner who is neither, such as one who made the folder before) read and run.
# ALL APPLICATION PACKAGES read and run too, as in Program Files.
FOLDER_LOCK = ("O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
               "(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;AC)")
FILE_LOCK = ("O:SYG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;OW)"
             "(A;;0x1200a9;;;AC)")
# Custom action types: 1 calls a DLL of the Binary table, 19 fails with a message, 51 sets a
# property; +1024 deferred (in the script, once the files are in place), +2048 with the
# installation's rights rather than the user's, +256 only when the script rolls back.
DLL, DLL_DEFERRED, ERROR_ACTION, SET_PROPERTY = 1, 1 + 1024 + 2048, 19, 51
ROLLBACK = 256
# The feature is being installed or reinstalled (a removal of it, whole or by name, is not).
INSTALLING = "&Zorvan=3"
FIRST_INSTALL = "NOT Installed AND " + INSTALLING
# No version of the product stood here before: whatever the folder holds is not the package's.
FIRST_OF_ALL = ("NOT Installed AND NOT WIX_UPGRADE_DETECTED AND NOT WIX_DOWNGRADE_DETECTED AND "
                "NOT ZORVANSAMEBUILD")
# A maintenance run keeps the folder the installation is in, and the boot variant unless a
# reinstall, which rewrites the remembered one, names another.
REMEMBERED_DIR = "ZORVANDIR AND (Installed OR NOT INSTALLDIR)"
REMEMBERED_BOOT = "ZORVANBOOT AND (NOT BOOTVARIANT OR (Installed AND NOT REINSTALL))"
# Names that wixl's preprocessor reads as its own, and the devices Windows opens at any path.
PREPROCESSED = re.compile(r"[$!]\(")
DEVICE = re.compile(r"(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\..*)?", re.IGNORECASE)
BAD_VARIANT = 'NOT REMOVE AND BOOTVARIANT<>"full" AND BOOTVARIANT<>"minimal"'


def fail(message):
    print(f"tools/package: {message}", file=sys.stderr)
    sys.exit(1)


def run(command, what, **options):
    """Runs a tool; its failure ends the build with both its streams, where tools put errors."""
    done = subprocess.run(command, capture_output=True, text=True, errors="replace", **options)
    if done.returncode != 0:
        fail(f"{what} failed (exit status {done.returncode}):\n{done.stdout}{done.stderr}".rstrip())
    return done.stdout


def guid(name):
    """A name-based GUID, the same on every build."""
    return str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), name)).upper()


def manifest_vsn(manifest):
    """The first VSN entry of the manifest's [Install] section, without surrounding blanks."""
    section = None
    for line in manifest.read_bytes().decode("latin-1").replace("\r", "").split("\n"):
        if line.lstrip(" \t").startswith("["):
            section = re.sub(r"[][ \t]", "", line)
        elif section == "Install" and "=" in line and line.split("=")[0].strip(" \t") == "VSN":
            return line.split("=", 1)[1].strip(" \t")
    return ""


def package_version(text):
    """major.minor.build, at most 255.255.65535; 5.7 is 5.7.0. None when text is not one."""
    if not re.fullmatch(r"[0-9]{1,5}(\.[0-9]{1,5}){0,2}", text):
        return None
    parts = [int(part) for part in (text + ".0.0").split(".")[:3]]
    if parts[0] > 255 or parts[1] > 255 or parts[2] > 65535:
        return None
    return ".".join(map(str, parts))


def stage_entries(stage):
    """Every entry below the stage, relative and in byte order, refusing what Windows Installer
    cannot take: a link or device, or a name outside printable ASCII, that Windows refuses or
    that wixl would read as its own."""
    entries = []
    for folder, folders, files in os.walk(stage):
        folders.sort()
        if len({name.lower() for name in folders + files}) != len(folders + files):
            fail(f"{folder} holds names that differ only in letter case, which Windows cannot")
        for name in sorted(folders + files):
            path = Path(folder) / name
            relative = path.relative_to(stage).as_posix()
            if not re.fullmatch(r"[\x20-\x7e]+", name) or re.search(r'[<>:"\\|?*]', name) or \
                    name.endswith((".", " ")):
                fail(f"the stage's file names must be printable ASCII that Windows takes: "
                     f"{relative!a}")
            if DEVICE.fullmatch(name) or PREPROCESSED.search(name):
                fail(f"{relative} is a device's name on Windows or reads as wixl's own")
            if path.is_symlink() or not (path.is_dir() or path.is_file()):
                fail(f"{path} is neither a file nor a folder")
            entries.append(relative)
    return sorted(entries, key=lambda relative: relative.encode())


def is_short_name(name):
    return re.fullmatch(r"[A-Za-z0-9_-]{1,8}(\.[A-Za-z0-9_-]{1,3})?", name) is not None


def with_short_names(names):
    """Name -> the Filename column's text for the names of one folder: "SHORT~1.EXT|long name"
    where the long name is no 8.3 name, each short name unique in the folder."""
    taken = {name.upper() for name in names if is_short_name(name)}
    column = {}
    for name in sorted(names, key=str.encode):
        if is_short_name(name):
            column[name] = name
            continue
        base, dot, extension = name.rpartition(".")
        if not dot or not base:
            base, extension = name, ""
        base = re.sub(r"[^A-Z0-9_-]", "", base.upper()) or "F"
        extension = re.sub(r"[^A-Z0-9_-]", "", extension.upper())[:3]
        number = 1
        while True:
            tail = f"~{number}"
            short = base[:8 - len(tail)] + tail + ("." + extension if extension else "")
            if short not in taken:
                break
            number += 1
        taken.add(short)
        column[name] = f"{short}|{name}"
    return column


def xml_text(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def element_id(kind, relative):
    return kind + hashlib.md5(relative.encode()).hexdigest()


def stage_source(stage, entries, made_folders):
    """The stage as WiX elements: a folder's files, each its own component, then its subfolders;
    made_folders (relative path -> Id) are folders Install.exe makes, given their own Ids. A
    component's GUID follows the file's path below the installation folder, so that every version
    keeps it and an upgrade leaves nothing of the old one behind."""
    folders = {"": []}
    for relative in entries + [path for path in made_folders if path not in entries]:
        parent = relative.rpartition("/")[0]
        folders.setdefault(parent, []).append(relative)
        if relative in made_folders or (stage / relative).is_dir():
            folders.setdefault(relative, [])
    lines, components = [], []

    def write(folder):
        for relative in folders[folder]:
            name = relative.rpartition("/")[2]
            if relative in folders:
                folder_id = made_folders.get(relative, element_id("d", relative))
                lines.append(f'<Directory Id="{folder_id}" Name="{xml_text(name)}">')
                write(relative)
                lines.append("</Directory>")
            else:
                component = element_id("c", relative)
                windows_path = relative.replace("/", "\\")
                lines.append(f'<Component Id="{component}" Guid="{guid("file:" + windows_path)}"'
                             ' Win64="yes">')
                lines.append(f'<File Id="{element_id("f", relative)}" Source="{xml_text(relative)}"'
                             ' KeyPath="yes"/></Component>')
                components.append(component)

    write("")
    refs = "".join(f'<ComponentRef Id="{component}"/>\n' for component in components)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>\n'
            '<DirectoryRef Id="INSTALLDIR">\n' + "\n".join(lines) + "\n</DirectoryRef>\n"
            f'<ComponentGroup Id="Stage">\n{refs}</ComponentGroup>\n</Fragment></Wix>\n'), folders


def build_actions_dll():
    """The custom actions' DLL, built by the project's CMake like the release's Install.exe; one
    build at a time, as several packages may be built at once."""
    build = ROOT / "build" / "package-actions"
    build.parent.mkdir(exist_ok=True)
    with open(build.parent / "package-actions.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
             f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake",
             "-DCMAKE_BUILD_TYPE=Release", "-DINSTALL_TESTS=OFF", "-DINSTALL_WERROR=ON"],
            "cmake (custom actions)")
        run(["cmake", "--build", str(build), "--target", "ZorvanActions"],
            "cmake --build (custom actions)")
        return (build / "ZorvanActions.dll").read_bytes()


class Signer:
    """Authenticode with the given certificate (SHA-256), RFC 3161 timestamped when given a
    timestamp authority; each signature verified against the certificate."""

    def __init__(self, options, version):
        self.options = ["-certs", options.cert, "-key", options.key, "-h", "sha256",
                        "-n", f"Zorvan {version}"]
        if options.timestamp:
            self.options += ["-ts", options.timestamp]
        self.cert = options.cert

    def sign(self, path):
        signed = f"{path}.signed"
        run(["osslsigncode", "sign", *self.options, "-in", str(path), "-out", signed],
            f"osslsigncode signing {path.name}")
        run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", signed],
            f"the signature of {path.name} against {self.cert}: osslsigncode verify")
        os.replace(signed, path)

    def script(self, path):
        """Writes a shell script that signs the file it is given in place, verified, for
        makensis."""
        path.write_text('#!/bin/sh\nset -e\n'
                        f'osslsigncode sign {shlex.join(self.options)} -in "$1" -out "$1.signed"'
                        ' >/dev/null\n'
                        f'osslsigncode verify -CAfile {shlex.quote(self.cert)} -in "$1.signed"'
                        ' >/dev/null\nmv "$1.signed" "$1"\n')
        path.chmod(0o755)
        return path


def execute(database, statement, *values):
    """Runs one SQL statement with its values as parameters, so that no value is read as SQL."""
    record = Libmsi.Record.new(len(values)) if values else None
    for field, value in enumerate(values, 1):
        if isinstance(value, int):
            record.set_int(field, value)
        else:
            record.set_string(field, value)
    try:
        Libmsi.Query.new(database, statement).execute(record)
    except gi.repository.GLib.GError as error:
        fail(f"the package's tables refused {statement} {values}: {error.message}")


def add_tables(database, rows, statements):
    """Runs the statements (SQL and its values), then inserts rows (table, {column: value})."""
    for statement in statements:
        execute(database, *statement)
    for table, values in rows:
        columns = ", ".join(f"`{column}`" for column in values)
        marks = ", ".join("?" for _ in values)
        execute(database, f"INSERT INTO `{table}` ({columns}) VALUES ({marks})", *values.values())


def table_rows(database, table):
    query = Libmsi.Query.new(database, f"SELECT * FROM `{table}`")
    query.execute(None)
    names = query.get_column_info(Libmsi.ColInfo.NAMES)
    columns = [names.get_string(i) for i in range(1, names.get_field_count() + 1)]
    rows = []
    while (record := query.fetch()) is not None:
        rows.append({column: record.get_string(i) for i, column in enumerate(columns, 1)})
    return rows


def check_tables(database, actions, sequence):
    """What wixl may have dropped without a word is there."""
    kept = {row["Action"]: int(row["Type"]) for row in table_rows(database, "CustomAction")}
    steps = {row["Action"] for row in table_rows(database, "InstallExecuteSequence")}
    for action, kind in actions.items():
        if kept.get(action) != kind:
            fail(f"the package's action {action} has type {kept.get(action)}, not {kind}")
    for action in sequence:
        if action not in steps:
            fail(f"the package's InstallExecuteSequence lacks {action}")


def parse_options():
    """The command line, its options checked against each other."""
    parser = argparse.ArgumentParser(prog="tools/package")
    parser.add_argument("stage")
    parser.add_argument("--out", default=str(ROOT / "build" / "package"))
    parser.add_argument("--version")
    parser.add_argument("--build", type=int)
    parser.add_argument("--replace-same-version", action="store_true")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--timestamp", metavar="URL")
    parser.add_argument("--url")
    parser.add_argument("--download", metavar="URL")
    options = parser.parse_args()
    if bool(options.cert) != bool(options.key):
        fail("--cert and --key go together")
    if options.timestamp and not options.cert:
        fail("--timestamp needs --cert and --key")
    for name in ["url", "download"]:
        value = getattr(options, name)
        if value and not re.fullmatch(r"https?://[\x21-\x7e]+", value):
            fail(f"--{name} {value!a} is not an http or https address")
    if options.build is not None and not 0 <= options.build <= 65535:
        fail(f"--build {options.build} is not a build number (0 to 65535)")
    return options


def checked_stage(options):
    """Everything about the stage, checked before anything is built: its folder, its entries, its
    VSN, and the package version with its build number, as (stage, entries, vsn, version,
    msi_version); version names the built files."""
    stage = Path(options.stage)
    if not stage.is_dir():
        fail(f"no stage folder {stage}")
    stage = stage.resolve()
    for boot in ["Install.exe", "Install.ini"]:
        if not (stage / boot).is_file():
            fail(f"the stage {stage} has no {boot}")
    if os.path.lexists(stage / "bin"):
        fail(f"the stage {stage} holds bin, which Install.exe makes")
    entries = stage_entries(stage)
    vsn = manifest_vsn(stage / "Install.ini")
    if not vsn:
        fail(f"no VSN in the [Install] section of {stage}/Install.ini")
    # It names the runtime folder (zrun-VSN) in the package's tables: plain characters only.
    if not re.fullmatch(r"[A-Za-z0-9._+-]+", vsn):
        fail(f'VSN "{vsn}" of {stage}/Install.ini is not a plain folder name')
    given = f"--version {options.version}" if options.version else \
        f'VSN "{vsn}" of {stage}/Install.ini'
    version = options.version or vsn
    if options.build is not None:
        if version.count(".") > 1:
            fail(f"{given} has its own build number: give --build only with major.minor")
        version = f"{version}.{options.build}" if "." in version else f"{version}.0.{options.build}"
    msi_version = package_version(version) or fail(
        f"{given} is not a package version (X.Y.Z, at most 255.255.65535)" +
        ("" if options.version else ": give one with --version"))
    return stage, entries, vsn, version, msi_version


def tool_versions(signing):
    """The versions of the tools whose output goes into the package, for its identity."""
    commands = [["wixl", "--version"], ["msiinfo", "--version"], ["makensis", "-VERSION"],
                ["x86_64-w64-mingw32-g++", "--version"], [sys.executable, "--version"]]
    if signing:
        commands.append(["osslsigncode", "--version"])
    return "\0".join(run(command, " ".join(command)).split("\n")[0] for command in commands)


def identity(options, work, entries, msi_version):
    """The digest that the product and package codes follow: the signed bytes of everything that
    goes in (the stage, the custom actions), the package's sources, the options and the tools'
    versions. Two signed builds differ by their signatures' times, so they never share it."""
    digest = hashlib.sha256()
    for source in [WXS, Path(__file__), ROOT / "tools" / "package",
                   ROOT / "packaging" / "setup.nsi", work / "ZorvanActions.dll"]:
        digest.update(hashlib.sha256(source.read_bytes()).digest())
    digest.update(f"{msi_version}\0{options.url or ''}\0{options.replace_same_version}\0".encode())
    digest.update(tool_versions(bool(options.cert)).encode())
    for relative in entries:
        path = work / "stage" / relative
        content = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else "/"
        digest.update(f"{relative}\0{content}\0".encode())
    return digest.hexdigest()


def file_version(path):
    """The file version of an executable's version resource, as Windows Installer writes it, or
    None when it has none (or is no executable, as in the tests of the tables)."""
    try:
        image = pefile.PE(str(path), fast_load=True)
    except pefile.PEFormatError:
        return None
    image.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    info = getattr(image, "VS_FIXEDFILEINFO", None)
    image.close()
    if not info:
        return None
    high, low = info[0].FileVersionMS, info[0].FileVersionLS
    return f"{high >> 16}.{high & 0xffff}.{low >> 16}.{low & 0xffff}"


def made_names(vsn):
    """What Install.exe makes, as (folder's Id, name): each launcher and boot file in bin, with the
    <name>.tmp a killed run may leave and the <name>.old a running launcher is set aside as, and
    the runtime's zvn.ini."""
    made = [("BINDIR", f"{name}{suffix}") for name in MADE for suffix in ["", ".tmp", ".old"]]
    return made + [("RUNTIMEBIN", "zvn.ini"), ("RUNTIMEBIN", "zvn.ini.tmp")]


def custom_actions(program_hash):
    """The package's own actions and their places in the sequences, as (rows, {action: type},
    {action: (step, condition)}), the standard actions placed anew included."""
    rows = []
    actions, sequence = {}, {}

    def action(name, kind, source, target, step, condition=None):
        actions[name] = kind
        sequence[name] = (step, condition)
        rows.append(("CustomAction", {"Action": name, "Type": kind, "Source": source,
                                      "Target": target}))

    # Remembered like INSTALLDIR: unless the command line names it, the boot variant is the
    # one the registry holds, else minimal; any other value stops before anything changes.
    action("ZorvanRememberedDir", SET_PROPERTY, "INSTALLDIR", "[ZORVANDIR]", 51, REMEMBERED_DIR)
    action("ZorvanRememberedBoot", SET_PROPERTY, "BOOTVARIANT", "[ZORVANBOOT]", 52,
           REMEMBERED_BOOT)
    action("ZorvanDefaultBoot", SET_PROPERTY, "BOOTVARIANT", "minimal", 53, "NOT BOOTVARIANT")
    action("ZorvanBadBoot", ERROR_ACTION, None,
           'BOOTVARIANT must be "full" or "minimal", not "[BOOTVARIANT]".', 54, BAD_VARIANT)
    action("ZorvanInstallLocation", SET_PROPERTY, "ARPINSTALLLOCATION", "[INSTALLDIR]", 1001)
    # The folder is judged before anything is removed or written: once now, with the user's
    # rights, and first thing in the script with the installation's.
    # ZORVANFIRST: 1 where no version of the product stood before, 2 where an older one is to be
    # removed (which can take the folder away after the judge, to be made again).
    action("ZorvanFirst", SET_PROPERTY, "ZORVANFIRST", "1", 1002,
           FIRST_OF_ALL + " AND " + INSTALLING)
    action("ZorvanUpgrading", SET_PROPERTY, "ZORVANFIRST", "2", 1002,
           "NOT Installed AND WIX_UPGRADE_DETECTED AND " + INSTALLING)
    action("ZorvanJudgeData", SET_PROPERTY, "ZorvanJudge",
           "[ZORVANFIRST]|[INSTALLDIR]|[ZorvanKnown]", 1003, INSTALLING)
    action("ZorvanJudgeEarly", DLL, "ZorvanActions", "ZorvanJudge", 1004, INSTALLING)
    action("ZorvanJudge", DLL_DEFERRED, "ZorvanActions", "ZorvanJudge", 1501, INSTALLING)
    # A deferred action sees only its CustomActionData, set just before it. The rollback is
    # scheduled before the run, so that the script holds it when the run fails, and only
    # where nothing of this product stood before: a failed repair keeps the installation. The run
    # comes before the registry is written, so that the remembered variant is one that
    # Install.exe installed.
    action("ZorvanRollbackData", SET_PROPERTY, "ZorvanRollback", "[ZorvanMade]|[INSTALLDIR]",
           4001, FIRST_INSTALL)
    action("ZorvanRollback", DLL_DEFERRED + ROLLBACK, "ZorvanActions", "ZorvanRollback",
           4002, FIRST_INSTALL)
    action("ZorvanInstallData", SET_PROPERTY, "ZorvanInstall",
           f"[BOOTVARIANT]|{program_hash}|[INSTALLDIR]", 4003, INSTALLING)
    action("ZorvanInstall", DLL_DEFERRED, "ZorvanActions", "ZorvanInstall", 4004, INSTALLING)
    sequence["CreateFolders"], sequence["RemoveFolders"] = (3700, None), (3600, None)
    for name, (step, condition) in sequence.items():
        rows.append(("InstallExecuteSequence",
                     {"Action": name, "Sequence": step, "Condition": condition or None}))
    rows.append(("InstallUISequence", {"Action": "ZorvanRememberedDir", "Sequence": 51,
                                       "Condition": REMEMBERED_DIR}))
    return rows, actions, sequence


def short_name_statements(folders, made_folders):
    """Short names for every long name of the stage's files and folders."""
    statements = []
    for folder, children in folders.items():
        names = with_short_names([child.rpartition("/")[2] for child in children])
        for child in children:
            name = names[child.rpartition("/")[2]]
            if child in folders:
                key = made_folders.get(child, element_id("d", child))
                statements.append(("UPDATE `Directory` SET `DefaultDir` = ? "
                                   "WHERE `Directory` = ?", name, key))
            else:
                statements.append(("UPDATE `File` SET `FileName` = ? WHERE `File` = ?",
                                   name, element_id("f", child)))
    return statements


def made_rows(vsn, entries, folders, made_folders):
    """What Install.exe makes: the rows that remove it on an uninstall, one per name (Wine takes
    no wildcard), bin's own last; and, below the installation folder, the names it makes (which
    the rollback deletes) and every name the package knows (folders ending in "\\")."""
    made = made_names(vsn)
    made_short = {folder: with_short_names([name for where, name in made if where == folder])
                  for folder in ["BINDIR", "RUNTIMEBIN"]}
    rows = [("RemoveFile", {"FileKey": f"Made{number:02d}", "Component_": "Registration",
                            "FileName": made_short[folder][name], "DirProperty": folder,
                            "InstallMode": 2}) for number, (folder, name) in enumerate(made)]
    rows.append(("RemoveFile", {"FileKey": "Made99", "Component_": "Registration",
                                "DirProperty": "BINDIR", "InstallMode": 2}))
    relative_made = [("bin\\" if folder == "BINDIR" else f"zrun-{vsn}\\bin\\") + name
                     for folder, name in made]
    known = [relative.replace("/", "\\") + ("\\" if relative in folders else "")
             for relative in entries + list(made_folders)] + ["bin\\"] + relative_made
    return rows, relative_made, known


def lock_rows(folders, made_folders):
    """The installation folder, every folder of the stage and the two that Install.exe writes
    into are created by the package, which locks them as it does (CreateFolders, before
    InstallFiles), and so is Install.exe: nobody but SYSTEM and Administrators can change what
    runs or what it writes. The lock's table (its statement) and rows."""
    locked = ["INSTALLDIR"] + [made_folders.get(path, element_id("d", path))
                               for path in folders if path]
    statement = (
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
        "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, "
        "`SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) "
        "PRIMARY KEY `MsiLockPermissionsEx`)",)
    rows = []
    for number, folder in enumerate(locked):
        rows.append(("CreateFolder", {"Directory_": folder, "Component_": "Registration"}))
        rows.append(("MsiLockPermissionsEx", {
            "MsiLockPermissionsEx": f"Lock{number:03d}", "LockObject": folder,
            "Table": "CreateFolder", "SDDLText": FOLDER_LOCK}))
    rows.append(("MsiLockPermissionsEx", {
        "MsiLockPermissionsEx": "LockProgram", "LockObject": element_id("f", "Install.exe"),
        "Table": "File", "SDDLText": FILE_LOCK}))
    return statement, rows


def upgrade_rows(options, msi_version):
    """Attributes: migrate the feature states (1), and only with --replace-same-version up to
    this version itself (512). Otherwise another build of this version is found (2 only detects,
    256 and 512 take both ends) and refused, like a newer one; so is a package over the setup."""
    upgrade = "{%s}" % UPGRADE_CODE
    rows = [("Upgrade", {"UpgradeCode": upgrade, "VersionMax": msi_version,
                         "Attributes": 513 if options.replace_same_version else 1,
                         "ActionProperty": "WIX_UPGRADE_DETECTED"})]
    if not options.replace_same_version:
        rows.append(("Upgrade", {"UpgradeCode": upgrade, "VersionMin": msi_version,
                                 "VersionMax": msi_version, "Attributes": 770,
                                 "ActionProperty": "ZORVANSAMEBUILD"}))
        rows.append(("LaunchCondition", {
            "Condition": "Installed OR NOT ZORVANSAMEBUILD",
            "Description": f"Another build of Zorvan {msi_version} is already installed."}))
    rows.append(("LaunchCondition", {
        "Condition": "Installed OR NOT ZORVANSETUP",
        "Description": "Zorvan is installed by its setup in [ZORVANSETUP]: uninstall it first."}))
    return rows


def stamp(database, digest, epoch):
    """wixl stamps the package with the time and a random package code: the time becomes
    SOURCE_DATE_EPOCH and the code follows from what went in."""
    summary = Libmsi.SummaryInfo.new(database, 3)
    summary.set_string(Libmsi.Property.UUID, "{%s}" % guid(f"package:{digest}"))
    for field in (Libmsi.Property.CREATED_TM, Libmsi.Property.LASTSAVED_TM):
        summary.set_filetime(field, (epoch + 11644473600) * 10**7)  # in 100 ns from 1601
    summary.persist()


def tables(options, work, stage, entries, vsn, msi_version, product_code, digest, epoch):
    """Builds the package from packaging/zorvan.wxs and the stage with wixl, then adds through SQL
    what wixl cannot write, reads it back and stamps its summary."""
    program_hash = hashlib.sha256((work / "stage" / "Install.exe").read_bytes()).hexdigest()
    made_folders = {"bin": "BINDIR", f"zrun-{vsn}/bin": "RUNTIMEBIN"}
    files_wxs, folders = stage_source(stage, entries, made_folders)
    (work / "files.wxs").write_text(files_wxs)
    # wixl takes the files' paths relative to where it runs.
    run(["wixl", "--arch", "x64", "--define", f"Version={msi_version}",
         "--define", f"ProductCode={product_code}", "--define", "ActionsDll=../ZorvanActions.dll",
         "-o", str(work / "package.msi"), str(WXS), str(work / "files.wxs")],
        "wixl", cwd=work / "stage")

    statements = short_name_statements(folders, made_folders)
    # Install.exe is versioned, so that Windows Installer compares it as the program it is.
    version = file_version(work / "stage" / "Install.exe")
    if version:
        statements.append(("UPDATE `File` SET `Version` = ? WHERE `File` = ?",
                           version, element_id("f", "Install.exe")))
    rows, relative_made, known = made_rows(vsn, entries, folders, made_folders)
    lock_table, locks = lock_rows(folders, made_folders)
    statements.append(lock_table)
    action_rows, actions, sequence = custom_actions(program_hash)
    rows += locks + action_rows
    rows = [(table, {k: v for k, v in values.items() if v is not None}) for table, values in rows]
    rows += upgrade_rows(options, msi_version)
    properties = {"ARPNOMODIFY": "1", "ZorvanMade": "|".join(relative_made),
                  "ZorvanKnown": "|".join(known)}
    if options.url:
        properties.update(ARPURLINFOABOUT=options.url, ARPHELPLINK=options.url)
    rows += [("Property", {"Property": name, "Value": value}) for name, value in properties.items()]
    # The older version goes inside this installation's transaction, once the folder is judged
    # and before anything is put in place: a failure brings it back, and its own uninstall clears
    # what its Install.exe made. INSTALLDIR and BOOTVARIANT are not secure: only an administrator's
    # command line gives them to an installation with the installation's rights.
    statements += [
        ("UPDATE `InstallExecuteSequence` SET `Sequence` = 1502 "
         "WHERE `Action` = 'RemoveExistingProducts'",),
        ("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",),
        ("UPDATE `Property` SET `Value` = "
         "'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ZORVANSAMEBUILD' "
         "WHERE `Property` = 'SecureCustomProperties'",)]

    database = Libmsi.Database.new(str(work / "package.msi"), Libmsi.DbFlags.TRANSACT, None)
    add_tables(database, rows, statements)
    check_tables(database, actions, sequence)
    stamp(database, digest, epoch)
    database.commit()
    del database


def signatures(signer, *paths):
    """Signs each file in place, each signature verified; nothing without --cert."""
    for path in paths if signer else []:
        signer.sign(path)


def setup(work, version, vsn, signer):
    """The sample setup of the same stage (packaging/setup.nsi), its uninstaller signed as NSIS
    writes it."""
    nsis = ["makensis", "-V2", f"-DSTAGE={work / 'stage'}", f"-DOUTFILE={work / 'setup.exe'}",
            f"-DVERSION={version}", f"-DVSN={vsn}"]
    if signer:
        nsis.append(f"-DSIGN={signer.script(work / 'sign')}")
    run([*nsis, str(ROOT / "packaging" / "setup.nsi")], "makensis")


def winget_manifest(options, msi, version, product_code):
    """A winget singleton manifest (1.6) of the package as published at --download."""
    sha = hashlib.sha256(msi.read_bytes()).hexdigest().upper()
    lines = [
        "# yaml-language-server: $schema=https://aka.ms/winget-manifest.singleton."
        "1.6.0.schema.json",
        "PackageIdentifier: Zorvan.Zorvan", f"PackageVersion: {version}",
        "PackageLocale: en-US", "Publisher: Zorvan", "PackageName: Zorvan",
        "License: Proprietary", "ShortDescription: The Zorvan runtime distribution"]
    if options.url:
        lines.append(f"PublisherSupportUrl: {options.url}")
    lines += [
        "Installers:", "- Architecture: x64", "  InstallerType: msi", "  Scope: machine",
        f"  InstallerUrl: {options.download.rstrip('/')}/{msi.name}",
        f"  InstallerSha256: {sha}", f"  ProductCode: '{{{product_code}}}'",
        "  InstallerSwitches:", "    Silent: /qn /norestart",
        "    SilentWithProgress: /qb /norestart", "  UpgradeBehavior: install",
        "  AppsAndFeaturesEntries:", f"  - DisplayVersion: {version}",
        f"    ProductCode: '{{{product_code}}}'", f"    UpgradeCode: '{{{UPGRADE_CODE}}}'",
        "ManifestType: singleton", "ManifestVersion: 1.6.0"]
    msi.with_name(msi.stem + ".winget.yaml").write_text("\n".join(lines) + "\n")


def main():
    options = parse_options()
    stage, entries, vsn, version, msi_version = checked_stage(options)
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    msi, setup_exe = out / f"Zorvan-{version}.msi", out / f"Zorvan-{version}-setup.exe"
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    with tempfile.TemporaryDirectory() as work_name:
        work = Path(work_name)
        # Built from a copy whose times are SOURCE_DATE_EPOCH: the package's cabinet and the
        # setup keep each file's time, and a stage laid again alike gives the same bytes.
        shutil.copytree(stage, work / "stage")
        for relative in ["", *entries]:
            os.utime(work / "stage" / relative, (epoch, epoch))
        (work / "ZorvanActions.dll").write_bytes(build_actions_dll())
        # What goes in is signed first, so that its signed bytes make the identity.
        signer = Signer(options, version) if options.cert else None
        signatures(signer, work / "stage" / "Install.exe", work / "ZorvanActions.dll")
        digest = identity(options, work, entries, msi_version)
        product_code = guid(f"product:{msi_version}:{digest}")
        tables(options, work, stage, entries, vsn, msi_version, product_code, digest, epoch)
        setup(work, version, vsn, signer)
        signatures(signer, work / "package.msi", work / "setup.exe")
        shutil.move(work / "package.msi", msi)
        shutil.move(work / "setup.exe", setup_exe)
    if options.download:
        winget_manifest(options, msi, msi_version, product_code)
    for built in [msi, setup_exe]:
        print(f"{hashlib.sha256(built.read_bytes()).hexdigest()}  {built.name}")
    print(f"package version {msi_version}, product code {{{product_code}}}, "
          f"upgrade code {{{UPGRADE_CODE}}}")


if __name__ == "__main__":
    main()
