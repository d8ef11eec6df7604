"""Builds a staged distribution's Windows Installer package and its setup; tools/package installs
what this needs and runs it with the same arguments (its usage is there).

The package makes the tree that Install.exe makes, in Windows Installer's own tables: the stage's
files, their copies in bin, the active boot file, zvn.ini in both places, and bin on PATH. It is
packaging/zorvan.wxs and those files, built with wixl; what wixl cannot write (the tables it does
not know, component conditions, the custom actions and their order, the locks, short names) is
added through Libmsi's SQL, and every table is read back afterwards, because wixl drops what it
does not know without failing."""

import argparse
import fcntl
import functools
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
from distribution import (ACTIVE_BOOT, BIN, BOOT_FILES, CONFIGURATION, LAUNCHERS,  # noqa: E402
                          LEFT_BESIDE, SECTION, configuration, escape, release_folder,
                          runtime_folder)

ROOT = Path(__file__).resolve().parents[1]
WXS = ROOT / "packaging" / "zorvan.wxs"
UPGRADE_CODE = re.search(r'UpgradeCode="([^"]+)"', WXS.read_text()).group(1)
# Every folder the package makes: SYSTEM and Administrators may do anything, Users (and an
# owner who is neither, such as one who made the folder before) and ALL APPLICATION PACKAGES
# read and run; nothing inherited from above. Files inherit it.
FOLDER_LOCK = re.search(r'PACKAGE_LOCK L"([^"]+)"',
                        (ROOT / "packaging" / "lock.h").read_text()).group(1)
# The folders that the tables name. Their ids are private (not all capitals): no command line
# can move them elsewhere, as it can INSTALLDIR.
BIN_ID, RUNTIME_ID = "ZorvanBin", "ZorvanRuntimeBin"
# The boot variants, in the order of BOOT_FILES.
VARIANTS = ("minimal", "full")
# Custom action types: 1 calls a DLL of the Binary table, 19 fails with a message, 51 sets a
# property; all immediate: they run before the installation script, which holds none of them.
DLL, ERROR_ACTION, SET_PROPERTY = 1, 19, 51
# Component attributes: 64-bit (256); transitive (64), so that a reinstall weighs the
# component's condition again.
COMPONENT_64, TRANSITIVE = 256, 64
# The product's files are being installed or reinstalled (a removal, whole or by feature, is not).
INSTALLING = "&Zorvan=3"
# A maintenance run keeps the folder the installation is in, and the boot variant unless a
# reinstall, which rewrites the remembered one, names another.
REMEMBERED_DIR = "ZORVANDIR AND (Installed OR NOT INSTALLDIR)"
REMEMBERED_BOOT = "ZORVANBOOT AND (NOT BOOTVARIANT OR (Installed AND NOT REINSTALL))"
# Names that wixl's preprocessor reads as its own, and the devices Windows opens at any path.
PREPROCESSED = re.compile(r"[$!]\(")
DEVICE = re.compile(r"(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\..*)?", re.IGNORECASE)
BAD_VARIANT = 'NOT REMOVE AND BOOTVARIANT<>"full" AND BOOTVARIANT<>"minimal"'
# A folder that PATH's list cannot hold as one entry (PATH parts at ';' and expands '%').
BAD_FOR_PATH = '&ZorvanPath=3 AND (INSTALLDIR >< ";" OR INSTALLDIR >< "%")'
# zvn.ini as installed, before the IniFile rows give its keys their values in this order: the
# profile functions of Windows keep the order of keys that are there already.
TEMPLATE = f"[{SECTION}]\r\n" + "".join(f"{key}=\r\n" for key in configuration("", ""))


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


@functools.cache
def ini_query():
    """The project's own reader of configuration files (tools/ini_query.cpp), built natively,
    as the custom actions are (one build at a time), once for every value read."""
    return built("package-tools", [], "ini_query", "ini_query")


def manifest_value(manifest, key):
    """The value of key in the manifest's section Install, as Install.exe reads it, or None."""
    done = subprocess.run([str(ini_query()), str(manifest), "Install", key], capture_output=True)
    return done.stdout[:-1].decode("latin-1") if done.returncode == 0 else None


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


def installed_files(stage, entries, vsn, system_vsn):
    """Every file the package installs, as (target, source, variant): the target below
    INSTALLDIR, the source relative to the stage ('/' between parts), and for the active boot
    file the boot variant its component is for. The stage's files; in bin the launchers and boot
    files copied and the active boot file, one component a variant; zvn.ini beside the runtime
    system's executables and in bin, from the template whose values the IniFile rows set."""
    runtime, release = runtime_folder(vsn), release_folder(system_vsn)
    files = [(entry, entry, None) for entry in entries if (stage / entry).is_file()]
    files += [(f"{BIN}/{name}", f"{runtime}/{name}", None) for name in LAUNCHERS]
    files += [(f"{BIN}/{name}", f"{release}/{name}", None) for name in BOOT_FILES]
    files += [(f"{BIN}/{ACTIVE_BOOT}", f"{release}/{name}", variant)
              for name, variant in zip(BOOT_FILES, VARIANTS)]
    files += [(f"{folder}/{CONFIGURATION}", "../" + CONFIGURATION, None)
              for folder in (runtime, BIN)]
    return files


def file_key(target, variant):
    """What names a file's rows: its target, and its variant for the active boot file."""
    return target + (f":{variant}" if variant else "")


def package_source(files, folder_ids):
    """The package's folders and files as WiX elements, each file its own component, and the
    folders as {folder: ([subfolders], [(name, file key)])}; folder_ids gives the folders the
    tables name their ids. A component's GUID follows the file's path below the installation
    folder (and its variant), so that every version keeps it and an upgrade leaves nothing of
    the old one behind."""
    folders = {"": ([], [])}
    for target, _, variant in files:
        parts = target.split("/")
        for depth in range(1, len(parts)):
            folder, parent = "/".join(parts[:depth]), "/".join(parts[:depth - 1])
            if folder not in folders:
                folders[folder] = ([], [])
                folders[parent][0].append(folder)
        folders["/".join(parts[:-1])][1].append((parts[-1], file_key(target, variant)))
    sources = {file_key(target, variant): source for target, source, variant in files}
    lines, components = [], []

    def write(folder):
        for name, key in folders[folder][1]:
            component = element_id("c", key)
            windows_path = key.replace("/", "\\")
            lines.append(f'<Component Id="{component}" Guid="{guid("file:" + windows_path)}"'
                         f' Win64="yes"><File Id="{element_id("f", key)}" Name="{xml_text(name)}"'
                         f' Source="{xml_text(sources[key])}" KeyPath="yes"/></Component>')
            components.append(component)
        for sub in sorted(folders[folder][0], key=str.encode):
            lines.append(f'<Directory Id="{folder_ids.get(sub, element_id("d", sub))}" '
                         f'Name="{xml_text(sub.rpartition("/")[2])}">')
            write(sub)
            if sub == BIN:  # bin on PATH: a component of its own feature, keyed by the folder
                lines.append(f'<Component Id="ZorvanPath" Guid="{guid("path")}" Win64="yes"/>')
            lines.append("</Directory>")

    write("")
    refs = "".join(f'<ComponentRef Id="{component}"/>\n' for component in components)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>\n'
            '<DirectoryRef Id="INSTALLDIR">\n' + "\n".join(lines) + "\n</DirectoryRef>\n"
            f'<ComponentGroup Id="Stage">\n{refs}</ComponentGroup>\n</Fragment></Wix>\n'), folders


def built(name, options, target, file):
    """A target of the project's CMake, built in build/NAME with those options, as the release's
    Install.exe is, and the path of its file; one build at a time, as several packages may be
    built at once."""
    build = ROOT / "build" / name
    build.parent.mkdir(exist_ok=True)
    with open(build.parent / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DINSTALL_TESTS=OFF", "-DINSTALL_WERROR=ON", *options], f"cmake ({target})")
        run(["cmake", "--build", str(build), "--target", target], f"cmake --build ({target})")
    return build / file


def actions_dll():
    """The custom actions' DLL, a MinGW build."""
    return built("package-actions",
                 [f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake"], "ZorvanActions",
                 "ZorvanActions.dll")


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
    if options.cert and not options.timestamp:
        print("tools/package: signing without --timestamp: the signatures will not be trusted "
              "once the certificate expires", file=sys.stderr)
    for name in ["url", "download"]:
        value = getattr(options, name)
        if value and not re.fullmatch(r"https?://[\x21-\x7e]+", value):
            fail(f"--{name} {value!a} is not an http or https address")
    if options.build is not None and not 0 <= options.build <= 65535:
        fail(f"--build {options.build} is not a build number (0 to 65535)")
    return options


def checked_stage(options):
    """Everything about the stage, checked before anything is built: its folder, its entries,
    its manifest read as Install.exe reads it, the files the layout copies, and the package
    version with its build number, as (stage, entries, vsn, system_vsn, version, msi_version);
    version names the built files."""
    stage = Path(options.stage)
    if not stage.is_dir():
        fail(f"no stage folder {stage}")
    stage = stage.resolve()
    for boot in ["Install.exe", "Install.ini"]:
        if not (stage / boot).is_file():
            fail(f"the stage {stage} has no {boot}")
    if os.path.lexists(stage / BIN):
        fail(f"the stage {stage} holds {BIN}, which the package makes")
    entries = stage_entries(stage)
    versions = {}
    for key in ["VSN", "SYSTEM_VSN"]:
        value = manifest_value(stage / "Install.ini", key)
        if value is None:
            fail(f"{stage}/Install.ini has no key {key} in its section Install, as Install.exe "
                 "reads it")
        # It names a folder in the package's tables: plain characters only.
        if not re.fullmatch(r"[A-Za-z0-9._+-]*[A-Za-z0-9_+-]", value):
            fail(f'{key} "{value}" of {stage}/Install.ini is not a plain folder name')
        versions[key] = value
    vsn, system_vsn = versions["VSN"], versions["SYSTEM_VSN"]
    for folder, names in [(runtime_folder(vsn), LAUNCHERS), (release_folder(system_vsn), BOOT_FILES)]:
        for name in names:
            if not (stage / folder / name).is_file():
                fail(f"the stage {stage} has no {folder}/{name}, which the installation copies")
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
    return stage, entries, vsn, system_vsn, version, msi_version


def tool_versions(signing):
    """The versions of the tools whose output goes into the package, for its identity."""
    commands = [["wixl", "--version"], ["msiinfo", "--version"], ["makensis", "-VERSION"],
                ["x86_64-w64-mingw32-g++", "--version"], [sys.executable, "--version"]]
    if signing:
        commands.append(["osslsigncode", "--version"])
    return "\0".join(run(command, " ".join(command)).split("\n")[0] for command in commands)


def identity(options, work, entries, msi_version, epoch):
    """The digest that the product and package codes follow: the signed bytes of everything that
    goes in (the stage, the custom actions), the package's sources, the options, the files' time
    and the tools' versions. Two signed builds differ by their signatures' times, so they never
    share it."""
    digest = hashlib.sha256()
    for source in [WXS, Path(__file__), ROOT / "tools" / "package", ROOT / "tools" /
                   "distribution.py", ROOT / "packaging" / "lock.h",
                   ROOT / "packaging" / "setup.nsi", work / "ZorvanActions.dll"]:
        digest.update(hashlib.sha256(source.read_bytes()).digest())
    digest.update(f"{msi_version}\0{options.url or ''}\0{epoch}\0".encode())
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


def program_paths(vsn, system_vsn):
    """The ends of the paths that Install.exe makes from its root, in the order it makes them:
    the manifest, its folders, each copy's source and then target. The first that its buffers
    cannot hold for a root is the one it names as it refuses the root."""
    runtime, release = (f"\\{folder}".replace("/", "\\")
                        for folder in (runtime_folder(vsn), release_folder(system_vsn)))
    ends = ["\\Install.ini", runtime, release, f"\\{BIN}"]
    for folder, names in [(runtime, LAUNCHERS), (release, BOOT_FILES)]:
        for name in names:
            ends += [f"{folder}\\{name}", f"\\{BIN}\\{name}"]
    return ends + [f"\\{BIN}\\{ACTIVE_BOOT}", f"{runtime}\\{CONFIGURATION}"]


def custom_actions():
    """The package's own actions and their places in the sequences, as (rows, {action: type},
    {action: (step, condition)}), the standard actions it adds or places anew included."""
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
    # Once INSTALLDIR and the features' states are final (after MigrateFeatureStates, which
    # takes an older version's), and before the script: what zvn.ini holds, the roots that
    # Install.exe refuses, the folders that may not take the package.
    action("ZorvanPaths", DLL, "ZorvanActions", "ZorvanPaths", 1210, INSTALLING)
    action("ZorvanRefuseRoot", ERROR_ACTION, None, "[ZorvanRootRefused]", 1220,
           "ZorvanRootRefused")
    action("ZorvanRefusePath", ERROR_ACTION, None,
           "[INSTALLDIR] holds ; or %, which PATH cannot hold: give ADDTOPATH=0 to leave PATH "
           "alone.", 1230, BAD_FOR_PATH)
    action("ZorvanJudge", DLL, "ZorvanActions", "ZorvanJudge", 1240, INSTALLING)
    # The older version goes first in the script, before anything of this one is put in place:
    # a failure brings it back.
    sequence["RemoveExistingProducts"] = (1501, None)
    sequence.update(RemoveIniValues=(3100, None), RemoveEnvironmentStrings=(3300, None),
                    RemoveFolders=(3600, None), CreateFolders=(3700, None),
                    WriteIniValues=(5100, None), WriteEnvironmentStrings=(5200, None))
    for name, (step, condition) in sequence.items():
        rows.append(("InstallExecuteSequence",
                     {"Action": name, "Sequence": step, "Condition": condition or None}))
    rows.append(("InstallUISequence", {"Action": "ZorvanRememberedDir", "Sequence": 51,
                                       "Condition": REMEMBERED_DIR}))
    return rows, actions, sequence


def short_name_statements(folders, folder_ids):
    """Short names for every long name of the package's files and folders."""
    statements = []
    for folder, (subfolders, files) in folders.items():
        names = with_short_names(sorted({name for name, _ in files} |
                                        {sub.rpartition("/")[2] for sub in subfolders}))
        for sub in subfolders:
            statements.append(("UPDATE `Directory` SET `DefaultDir` = ? WHERE `Directory` = ?",
                               names[sub.rpartition("/")[2]],
                               folder_ids.get(sub, element_id("d", sub))))
        for name, key in files:
            statements.append(("UPDATE `File` SET `FileName` = ? WHERE `File` = ?",
                               names[name], element_id("f", key)))
    return statements


def file_rows(files, stage):
    """What the File table's rows need beyond wixl's: every executable with a version resource
    (Install.exe, and launchers that have one) versioned, language neutral, so that Windows
    Installer compares it as the program it is, and without the hash that only unversioned
    files have; the active boot file's two components, each for its variant, weighed again on
    a reinstall; and what an administrator's run of Install.exe may leave beside a file it puts
    in place (LEFT_BESIDE), removed with the product."""
    statements, rows = [], []
    for target, source, variant in files:
        key = file_key(target, variant)
        version = file_version(stage / source)
        if version:
            statements += [("UPDATE `File` SET `Version` = ?, `Language` = ? WHERE `File` = ?",
                            version, "0", element_id("f", key)),
                           ("DELETE FROM `MsiFileHash` WHERE `File_` = ?", element_id("f", key))]
        if variant:
            statements.append(("UPDATE `Component` SET `Condition` = ?, `Attributes` = ? "
                               "WHERE `Component` = ?", f'BOOTVARIANT="{variant}"',
                               COMPONENT_64 | TRANSITIVE, element_id("c", key)))
    left = {(BIN_ID, name + suffix) for target, _, _ in files if target.startswith(BIN + "/")
            for name in [target.rpartition("/")[2]] for suffix in LEFT_BESIDE}
    left |= {(RUNTIME_ID, CONFIGURATION + suffix) for suffix in LEFT_BESIDE}
    for folder_id in (BIN_ID, RUNTIME_ID):
        short = with_short_names([name for where, name in left if where == folder_id])
        for number, name in enumerate(sorted(short, key=str.encode)):
            rows.append(("RemoveFile", {"FileKey": f"Left{folder_id}{number:02d}",
                                        "Component_": "Registration", "FileName": short[name],
                                        "DirProperty": folder_id, "InstallMode": 2}))
    return statements, rows


def configuration_rows(vsn):
    """zvn.ini in both folders: its entries in the IniFile table (the root, which ZorvanPaths
    gives escaped, and the rest escaped here), and a RemoveFile row that takes the file away
    before the template is put in place, so that nothing of an older one survives."""
    statements = [("CREATE TABLE `IniFile` (`IniFile` CHAR(72) NOT NULL, "
                   "`FileName` CHAR(255) NOT NULL LOCALIZABLE, `DirProperty` CHAR(72), "
                   "`Section` CHAR(96) NOT NULL LOCALIZABLE, `Key` CHAR(128) NOT NULL LOCALIZABLE, "
                   "`Value` CHAR(255) NOT NULL LOCALIZABLE, `Action` SHORT NOT NULL, "
                   "`Component_` CHAR(72) NOT NULL PRIMARY KEY `IniFile`)",)]
    marker = "ROOT"  # stands for the root, escaped alike by the action
    entries = {key: escape(value).replace(marker, "[ZorvanRootdir]", 1)
               for key, value in configuration(marker, vsn).items()}
    rows = []
    for folder_id, folder in [(RUNTIME_ID, runtime_folder(vsn)), (BIN_ID, BIN)]:
        component = element_id("c", f"{folder}/{CONFIGURATION}")
        for number, (key, value) in enumerate(entries.items()):
            rows.append(("IniFile", {"IniFile": f"{folder_id}{number}", "FileName": CONFIGURATION,
                                     "DirProperty": folder_id, "Section": SECTION, "Key": key,
                                     "Value": value, "Action": 0, "Component_": component}))
        rows.append(("RemoveFile", {"FileKey": f"Stale{folder_id}", "Component_": component,
                                    "FileName": CONFIGURATION, "DirProperty": folder_id,
                                    "InstallMode": 1}))
    return statements, rows


def path_rows():
    """bin appended to the machine's PATH and taken out of it again on removal, by the feature
    ZorvanPath, which ADDTOPATH=0 leaves out (and Windows Installer then remembers so)."""
    statements = [
        ("CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, "
         "`Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, "
         "`Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)",),
        ("CREATE TABLE `Condition` (`Feature_` CHAR(38) NOT NULL, `Level` SHORT NOT NULL, "
         "`Condition` CHAR(255) PRIMARY KEY `Feature_`, `Level`)",)]
    # The component's key path is bin itself, which its CreateFolder row names.
    rows = [("Environment", {"Environment": "ZorvanPath", "Name": "=-*PATH",
                             "Value": f"[~];[{BIN_ID}]", "Component_": "ZorvanPath"}),
            ("CreateFolder", {"Directory_": BIN_ID, "Component_": "ZorvanPath"}),
            ("Condition", {"Feature_": "ZorvanPath", "Level": 0, "Condition": 'ADDTOPATH="0"'})]
    return statements, rows


def lock_rows(folders, folder_ids):
    """The installation folder and every folder in it are created by the package, which locks
    them as it does (CreateFolders, before InstallFiles): nobody but SYSTEM and Administrators
    can change what runs. The lock's table (its statement) and rows."""
    locked = ["INSTALLDIR"] + [folder_ids.get(path, element_id("d", path))
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
    return [statement], rows


def upgrade_rows(msi_version):
    """Attributes: migrate the feature states (1) from an older version or build. Another build
    of this version is found (2 only detects, 256 and 512 take both ends) and refused, like a
    newer one; so is a package over the setup."""
    upgrade = "{%s}" % UPGRADE_CODE
    return [("Upgrade", {"UpgradeCode": upgrade, "VersionMax": msi_version, "Attributes": 1,
                         "ActionProperty": "WIX_UPGRADE_DETECTED"}),
            ("Upgrade", {"UpgradeCode": upgrade, "VersionMin": msi_version,
                         "VersionMax": msi_version, "Attributes": 770,
                         "ActionProperty": "ZORVANSAMEBUILD"}),
            ("LaunchCondition", {
                "Condition": "Installed OR NOT ZORVANSAMEBUILD",
                "Description": f"Another build of Zorvan {msi_version} is already installed."}),
            ("LaunchCondition", {
                "Condition": "Installed OR NOT ZORVANSETUP",
                "Description": "Zorvan is installed by its setup in [ZORVANSETUP]: uninstall it "
                               "first."})]


def stamp(database, digest, epoch):
    """wixl stamps the package with the time and a random package code: the time becomes
    SOURCE_DATE_EPOCH and the code follows from what went in."""
    summary = Libmsi.SummaryInfo.new(database, 3)
    summary.set_string(Libmsi.Property.UUID, "{%s}" % guid(f"package:{digest}"))
    for field in (Libmsi.Property.CREATED_TM, Libmsi.Property.LASTSAVED_TM):
        summary.set_filetime(field, (epoch + 11644473600) * 10**7)  # in 100 ns from 1601
    summary.persist()


def tables(options, work, stage, entries, versions, product_code, digest, epoch):
    """Builds the package from packaging/zorvan.wxs and the stage with wixl, then adds through SQL
    what wixl cannot write, reads it back and stamps its summary."""
    vsn, system_vsn, msi_version = versions
    folder_ids = {BIN: BIN_ID, runtime_folder(vsn): RUNTIME_ID}
    files = installed_files(stage, entries, vsn, system_vsn)
    files_wxs, folders = package_source(files, folder_ids)
    (work / "files.wxs").write_text(files_wxs)
    (work / CONFIGURATION).write_bytes(TEMPLATE.encode())
    os.utime(work / CONFIGURATION, (epoch, epoch))
    # wixl takes the files' paths relative to where it runs.
    run(["wixl", "--arch", "x64", "--define", f"Version={msi_version}",
         "--define", f"ProductCode={product_code}", "--define", "ActionsDll=../ZorvanActions.dll",
         "-o", str(work / "package.msi"), str(WXS), str(work / "files.wxs")],
        "wixl", cwd=work / "stage")

    statements = short_name_statements(folders, folder_ids)
    rows = []
    for more_statements, more_rows in [file_rows(files, work / "stage"),
                                       configuration_rows(vsn),
                                       path_rows(), lock_rows(folders, folder_ids)]:
        statements += more_statements
        rows += more_rows
    action_rows, actions, sequence = custom_actions()
    rows += action_rows + upgrade_rows(msi_version)
    rows = [(table, {k: v for k, v in values.items() if v is not None}) for table, values in rows]
    known = [target.replace("/", "\\") for target, _, _ in files] + [
        folder.replace("/", "\\") + "\\" for folder in folders if folder]
    properties = {"ARPNOMODIFY": "1", "MSIRESTARTMANAGERCONTROL": "Disable",
                  "ZorvanKnown": "|".join(sorted(set(known))),
                  "ZorvanPaths": "|".join(program_paths(vsn, system_vsn))}
    if options.url:
        properties.update(ARPURLINFOABOUT=options.url, ARPHELPLINK=options.url)
    rows += [("Property", {"Property": name, "Value": value}) for name, value in properties.items()]
    # INSTALLDIR, BOOTVARIANT and ADDTOPATH are not secure: only an administrator's command line
    # gives them to an installation with the installation's rights.
    statements += [
        ("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",),
        ("DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RemoveExistingProducts'",),
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
    stage, entries, vsn, system_vsn, version, msi_version = checked_stage(options)
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
        (work / "ZorvanActions.dll").write_bytes(actions_dll().read_bytes())
        # What goes in is signed first, so that its signed bytes make the identity.
        signer = Signer(options, version) if options.cert else None
        signatures(signer, work / "stage" / "Install.exe", work / "ZorvanActions.dll")
        digest = identity(options, work, entries, msi_version, epoch)
        product_code = guid(f"product:{msi_version}:{digest}")
        tables(options, work, stage, entries, (vsn, system_vsn, msi_version), product_code, digest,
               epoch)
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
