"""The Windows Installer package of tools/package: its tables as built (no Wine), and under
msiexec, installed, repaired, refused, upgraded and uninstalled, over the sample distribution, a
rebuild of it and a second version: under Wine in a fresh 64-bit prefix of its own, or by the
Windows Installer service itself in the windows lane. Outcomes and the msiexec log are checked;
exit codes only on Windows: Wine cuts those to 8 bits, and takes a custom action that cannot
load for a success. Only Windows applies the lock, which the windows lane reads back."""

import contextlib
import hashlib
import http.server
import lzma
import os
import re
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

from distribution import BIN, CONFIGURATION, lay, runtime_folder
from test_release import (ROOT, files_below, installed_tree, kept, run, run_setup,
                          throwaway_certificate, uninstall)

QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


@pytest.fixture(scope="module")
def system(lane, tmp_path_factory):
    """Where msiexec runs, as (its environment, drive C: as a host folder): under Wine a new
    64-bit prefix, set up as tools/test sets up the suites' one; on Windows the machine."""
    if lane.name == "windows":
        yield dict(os.environ), Path("C:/")
        return
    prefix = tmp_path_factory.mktemp("prefix")
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        for command in (["wineserver", "-p"], ["wineboot", "-i"], ["wine", "reg", "add",
                        r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"]):
            subprocess.run(command, env=env, check=True, timeout=300, **QUIET)
        yield env, prefix / "drive_c"
    finally:
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
        shutil.rmtree(prefix)  # most of a gigabyte


@contextlib.contextmanager
def timestamp_authority(folder):
    """An RFC 3161 timestamp authority on localhost (openssl ts -reply behind http.server):
    yields its address and its certificate."""
    key, cert, config = folder / "tsa.key", folder / "tsa.pem", folder / "tsa.cnf"
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=Zorvan test timestamps", "-addext", "extendedKeyUsage=critical,timeStamping",
         "-keyout", str(key), "-out", str(cert)])
    (folder / "tsa.serial").write_text("01\n")
    config.write_text(f"[tsa]\ndefault_tsa = this\n[this]\nserial = {folder}/tsa.serial\n"
                      f"signer_cert = {cert}\nsigner_key = {key}\nsigner_digest = sha256\n"
                      "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")

    class Reply(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            (folder / "query.tsq").write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
            run(["openssl", "ts", "-reply", "-config", str(config), "-queryfile",
                 str(folder / "query.tsq"), "-out", str(folder / "reply.tsr")])
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            self.wfile.write((folder / "reply.tsr").read_bytes())

        def log_message(self, *_):
            pass

    with http.server.HTTPServer(("127.0.0.1", 0), Reply) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        yield f"http://127.0.0.1:{server.server_port}/", cert
        server.shutdown()


# Name, VSN, tools/package's options (SIGNED: signed and timestamped).
SIGNED = ["--cert", "{cert}", "--key", "{key}", "--timestamp", "{authority}"]
PACKAGES = [("5.7", "5.7", SIGNED), ("5.7 rebuilt", "5.7", ["--build", "1"]), ("5.8", "5.8", [])]
# The package as it shipped before its tables made the installation (it ran Install.exe from a
# custom action of its own): built by tools/package at commit 3b80931 from the sample with VSN
# 5.6, the release's Install.exe of that commit inside.
SHIPPED = Path(__file__).with_name("Zorvan-5.6.msi.xz")


@pytest.fixture(scope="module")
def packages(lane):
    """Name -> (package, stage, VSN): the sample (signed and timestamped), a newer build of the
    same version from a changed stage, its next version, each staged with the Windows build's
    Install.exe and built once (kept as packages/msi); and the package as it shipped, 5.6."""
    folder = kept(lane, "msi", lambda folder: build_packages(folder, lane.artifacts))
    built = {"cert": folder / "cert.pem", "key": folder / "key.pem", "tsa": folder / "tsa.pem"}
    for name, vsn, _ in PACKAGES + [("5.6", "5.6", None)]:
        built[name] = (next((folder / name).glob("*.msi")), folder / name / "stage", vsn)
    return built


def build_packages(folder, artifacts):
    folder.mkdir(parents=True)
    key, cert = throwaway_certificate(folder)
    with timestamp_authority(folder) as (authority, _):
        for name, vsn, options in PACKAGES + [("5.6", "5.6", None)]:
            stage = folder / name / "stage"
            lay(stage)
            shutil.copy(artifacts / "Install.exe", stage)
            if vsn != "5.7":  # a new runtime folder
                (stage / "zrun-5.7").rename(stage / f"zrun-{vsn}")
                manifest = stage / "Install.ini"
                manifest.write_text(manifest.read_text().replace("VSN = 5.7", f"VSN = {vsn}"))
            if name not in ("5.7", "5.6"):  # a changed boot file
                (stage / "releases" / "R9" / "launch_bare.seq").write_text(f"boot: {name}\n")
            if options is None:  # as it shipped
                (folder / name / "Zorvan-5.6.msi").write_bytes(lzma.decompress(SHIPPED.read_bytes()))
            else:
                run([str(ROOT / "tools" / "package"), str(stage), "--out", str(folder / name),
                     *[o.format(cert=cert, key=key, authority=authority) for o in options]])
            # The stage as installed: Install.exe as packaged (signed, or as it shipped).
            run(["msiextract", "-C", str(folder / "files"), str(next((folder / name).glob("*.msi")))])
            shutil.copy(next((folder / "files").rglob("Install.exe")), stage)
            shutil.rmtree(folder / "files")


def signed_and_timestamped(path, packages):
    report = run(["osslsigncode", "verify", "-CAfile", str(packages["cert"]), "-TSA-CAfile",
                  str(packages["tsa"]), "-in", str(path)]).stdout
    return b"\nSignature verification: ok" in report and (
        b"Timestamp Server Signature verification: ok" in report)


@pytest.mark.linux_tools
def test_packages_are_signed_inside_out_and_rebuilt_alike(lane, system, packages, tmp_path):
    wine = system[0]
    package = packages["5.7"][0]
    (tmp_path / "ZorvanActions.dll").write_bytes(
        run(["msiinfo", "extract", str(package), "Binary.ZorvanActions"]).stdout)
    setup, destination = package.with_name("Zorvan-5.7-setup.exe"), tmp_path / "setup target"
    assert run_setup(lane, setup, destination, wine).returncode == 0  # writes its uninstaller
    for signed in [package, setup, tmp_path / "ZorvanActions.dll",
                   packages["5.7"][1] / "Install.exe", destination / "Uninstall.exe"]:
        assert signed_and_timestamped(signed, packages), signed
    # The package refuses to install over the setup (Wine logs no launch condition's text), and
    # the setup over the package.
    refused = subprocess.run(lane.command("msiexec", "/i", lane.path(package), "/qn"), env=wine,
                             timeout=300, **QUIET)
    assert refused.returncode != 0 and not (system[1] /
                                            "Program Files" / "Zorvan").exists()
    assert uninstall(lane, destination, wine)
    run(lane.command("msiexec", "/i", lane.path(package), "/qn"), env=wine)
    refused = run_setup(lane, setup, tmp_path / "second target", wine)
    run(lane.command("msiexec", "/x", lane.path(package), "/qn"), env=wine)
    assert refused.returncode == 4 and not (tmp_path / "second target").exists()
    shutil.copytree(packages["5.8"][1], tmp_path / "stage")  # other times and path, same files
    run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out", str(tmp_path)])
    for built in ["Zorvan-5.8.msi", "Zorvan-5.8-setup.exe"]:
        assert (tmp_path / built).read_bytes() == packages["5.8"][0].with_name(built).read_bytes()
    codes = set()
    for signed in ["signed", "signed again"]:  # the same stage, signed at another time
        run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out",
             str(tmp_path / signed), "--cert", str(packages["cert"]), "--key",
             str(packages["key"])])
    run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out",  # files of another time
         str(tmp_path / "another time")], env=dict(os.environ, SOURCE_DATE_EPOCH="1"))
    for built in [packages["5.8"][0], *tmp_path.glob("[sa]*/Zorvan-5.8.msi")]:
        summary = run(["msiinfo", "suminfo", str(built)]).stdout.decode()
        codes.add(({row["Property"]: row["Value"] for row in msi_table(built, "Property")}[
            "ProductCode"], re.search(r"Revision number \(UUID\): (\S+)", summary).group(1)))
    assert len({product for product, _ in codes}) == len({package for _, package in codes}) == 4


def msi_table(package, name):
    """A table of the package as rows of {column: text}."""
    lines = run(["msiinfo", "export", str(package), name]).stdout.decode().split("\r\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def is_short_name(name):
    return re.fullmatch(r"[A-Za-z0-9_~-]{1,8}(\.[A-Za-z0-9_-]{1,3})?", name) is not None


# The actions that must run in this order: the remembered properties, then, once INSTALLDIR is
# final and before the script, what zvn.ini holds, the refusals and the judge; the older version
# removed first in the script.
ORDER = ["AppSearch", "ZorvanRememberedDir", "ZorvanRememberedBoot", "ZorvanDefaultBoot",
         "ZorvanBadBoot", "LaunchConditions", "CostFinalize", "MigrateFeatureStates",
         "ZorvanPaths", "ZorvanRefuseRoot",
         "ZorvanRefusePath", "ZorvanJudge", "InstallValidate", "InstallInitialize",
         "RemoveExistingProducts", "RemoveFiles", "CreateFolders", "InstallFiles",
         "WriteIniValues", "WriteEnvironmentStrings", "InstallFinalize"]
URL = "https://zorvan.invalid/help"
# Read as Install.exe reads it: VSN "5.7" (a comment is no part of a value), SYSTEM_VSN "R9" (a
# tab is no blank: the first line's key is "SYSTEM_VSN\t").
MANIFEST = b"[Install]\nSYSTEM_VSN\t= R8\nVSN = 5.7 ; packaged\nSYSTEM_VSN = R9\n"


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """The sample package built once without Wine (build 3, with long names, support links and a
    winget manifest): its path, and its tables as rows of {column: text} by name."""
    folder = tmp_path_factory.mktemp("tables")
    lay(folder / "stage", manifest=MANIFEST)
    (folder / "stage" / "Install.exe").write_bytes(b"MZ")
    for name in ["A long name.txt", "A long name.txz", "Long folder name/x"]:
        (folder / "stage" / "zrun-5.7" / name).parent.mkdir(exist_ok=True)
        (folder / "stage" / "zrun-5.7" / name).write_text(name)
    run([str(ROOT / "tools" / "package"), str(folder / "stage"), "--out", str(folder), "--url",
         URL, "--build", "3", "--download", URL])
    package = folder / "Zorvan-5.7.3.msi"
    read = {}
    return package, lambda name: read.setdefault(name, msi_table(package, name))


@pytest.mark.linux_tools
def test_package_tables_refuse_stages_windows_would_not_take(tmp_path):
    lay(tmp_path / "stage")
    (tmp_path / "stage" / "Install.exe").write_bytes(b"MZ")
    for name, message in [
            ("caf\u00e9.txt", b"the stage's file names must be printable ASCII that Windows "
             b"takes: 'zrun-5.7/caf\\xe9.txt'"),
            ("nul.tar.gz", b"zrun-5.7/nul.tar.gz is a device's name on Windows or reads as "
             b"wixl's own"),
            ("a$(b)", b"zrun-5.7/a$(b) is a device's name on Windows or reads as wixl's own"),
            ("bin/zvn.exe", b"the stage " + bytes(tmp_path / "refused stage") + b" has no "
             b"zrun-5.7/bin/zvn.exe, which the installation copies")]:  # taken away
        shutil.copytree(tmp_path / "stage", tmp_path / "refused stage")
        path = tmp_path / "refused stage" / "zrun-5.7" / name
        path.unlink() if path.exists() else path.write_text("")
        refused = subprocess.run([str(ROOT / "tools" / "package"), str(tmp_path / "refused stage"),
                                  "--out", str(tmp_path / "refused")], capture_output=True)
        assert (refused.returncode, refused.stderr, (tmp_path / "refused").exists()) == (
            1, b"tools/package: " + message + b"\n", False)
        shutil.rmtree(tmp_path / "refused stage")


@pytest.mark.linux_tools
def test_package_tables_run_the_actions_in_order(tables):
    _, table = tables
    actions = {row["Action"]: row for row in table("CustomAction")}
    steps = {row["Action"]: row for row in table("InstallExecuteSequence")}
    numbers = [int(steps[action]["Sequence"]) for action in ORDER]
    assert numbers == sorted(numbers) and len(set(numbers)) == len(numbers)
    # Nothing of ours in the script: each action immediate, and the DLL's only while the
    # product's files are to be installed.
    assert {int(action["Type"]) for action in actions.values()} == {1, 19, 51}
    assert {name: steps[name]["Condition"] for name, action in actions.items()
            if action["Type"] == "1"} == {"ZorvanPaths": "&Zorvan=3", "ZorvanJudge": "&Zorvan=3"}
    assert int(steps["RemoveExistingProducts"]["Sequence"]) == int(
        steps["InstallInitialize"]["Sequence"]) + 1
    # launch.seq's two components, one for each variant, weighed again on a reinstall (64).
    assert {row["Condition"]: int(row["Attributes"]) & 64 for row in table("Component")
            if row["Condition"]} == {'BOOTVARIANT="minimal"': 64, 'BOOTVARIANT="full"': 64}


@pytest.mark.linux_tools
def test_package_tables_lock_every_folder(tables):
    package, table = tables
    folders = {row["Directory"] for row in table("Directory")
               if row["Directory"] not in {"TARGETDIR", "ProgramFiles64Folder"}}
    locks = {(row["Table"], row["LockObject"]): row["SDDLText"]
             for row in table("MsiLockPermissionsEx")}
    lock = re.search(r'L"(.+)"', (ROOT / "packaging" / "lock.h").read_text()).group(1)
    assert locks == {("CreateFolder", folder): lock for folder in folders}
    assert {row["Directory_"] for row in table("CreateFolder")} == folders
    assert "LockPermissions" not in run(["msiinfo", "tables", str(package)]).stdout.decode().split()


@pytest.mark.linux_tools
def test_package_tables_give_unique_short_names(tables):
    _, table = tables
    components = {row["Component"]: row["Directory_"] for row in table("Component")}
    names = [(components[row["Component_"]], row["FileName"]) for row in table("File")]
    names += [(row["Directory_Parent"], row["DefaultDir"]) for row in table("Directory")
              if row["Directory_Parent"] not in {"", "TARGETDIR"}]
    names += [(row["DirProperty"], row["FileName"]) for row in table("RemoveFile")
              if row["FileName"]]
    assert ("d" + hashlib.md5(b"zrun-5.7/Long folder name").hexdigest(), "x") in names
    for folder in {folder for folder, _ in names}:
        shorts = {name.split("|")[0] for where, name in names if where == folder}
        longs = {name.split("|")[-1] for where, name in names if where == folder}
        assert all(map(is_short_name, shorts)) and len(shorts) == len(longs), shorts
    assert {name for _, name in names if "|" in name} >= {
        "ALONGN~1.TXT|A long name.txt", "ALONGN~1.TXZ|A long name.txz",
        "LONGFO~1|Long folder name", "LAUNCH~2.SEQ|launch_vantor.seq"}


@pytest.mark.linux_tools
def test_package_tables_set_properties_builds_and_winget(tables):
    package, table = tables
    properties = {row["Property"]: row["Value"] for row in table("Property")}
    assert {key: properties.get(key) for key in ["ARPNOMODIFY", "ARPURLINFOABOUT", "ARPHELPLINK"]
            } == {"ARPNOMODIFY": "1", "ARPURLINFOABOUT": URL, "ARPHELPLINK": URL}
    assert {"INSTALLDIR", "BOOTVARIANT", "ADDTOPATH"}.isdisjoint(
        properties["SecureCustomProperties"].split(";"))
    # No public folder but INSTALLDIR, which a command line could point elsewhere.
    assert [row["Directory"] for row in table("Directory")
            if row["Directory"].isupper()] == ["INSTALLDIR", "TARGETDIR"]
    assert {row["Name"]: row["Value"] for row in table("Registry")} == {
        "InstallDir": "[INSTALLDIR]", "BootVariant": "[BOOTVARIANT]", "Version": "5.7.3"}
    # An older build is replaced; another build of this one, like a newer version, refuses it.
    assert {(row["VersionMin"], row["VersionMax"], row["Attributes"])
            for row in table("Upgrade")} == {
        ("", "5.7.3", "1"), ("5.7.3", "5.7.3", "770"), ("5.7.3", "", "2")}
    manifest = package.with_name("Zorvan-5.7.3.winget.yaml").read_text()
    assert f"ProductCode: '{properties['ProductCode']}'" in manifest and (
        f"InstallerSha256: {hashlib.sha256(package.read_bytes()).hexdigest().upper()}" in manifest)


@pytest.mark.linux_tools
def test_package_tables_hold_a_custom_action_of_system_dlls(tables, tmp_path):
    package, _ = tables
    (tmp_path / "actions.dll").write_bytes(
        run(["msiinfo", "extract", str(package), "Binary.ZorvanActions"]).stdout)
    image = pytest.importorskip("pefile").PE(str(tmp_path / "actions.dll"))
    assert {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT} <= {
        "kernel32.dll", "msi.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll"}
    assert {symbol.name for symbol in image.DIRECTORY_ENTRY_EXPORT.symbols} == {
        b"ZorvanPaths", b"ZorvanJudge"}
    image.close()


FLEET = r"C:\Program Files\Fleet Apps (x64)\A&B 100%OS%^ été;[1]\Zorvan"
DEFAULT = r"C:\Program Files\Zorvan"
BARE, FULL = False, True  # the boot variant installed: full or not
REPAIR = ["REINSTALL=ALL", "REINSTALLMODE=amus"]
OFF_PATH = "ADDTOPATH=0"
# Steps: msiexec's action (with what the step does first to the installed folder), the package,
# the properties given, whether msiexec succeeds, whose tree is then installed with which boot
# file (or None: the folder is gone), and lines that the msiexec log holds, in this order (Wine
# logs no error action's text). bin is on PATH, once, while a tree is installed, unless a step
# of the scenario gives ADDTOPATH=0. Folders made first: under C:\Program Files, where an
# administrator's new folder lets only administrators change it (one directly under C:\ lets Authenticated Users change it), and
# under a folder that everyone may change.
MADE, OPEN = r"C:\Program Files\Zorvan made", r"C:\Zorvan open\Zorvan"
SCENARIOS = {
    "upgraded from the shipped package, by a newer build and a version, as Install.exe makes it; "
    "older builds refused, removed": (FLEET, [
        ("/i", "5.6", [f"INSTALLDIR={FLEET}"], True, ("5.6", BARE), []),
        ("/i", "5.7", [OFF_PATH], True, ("5.7", BARE), []),
        ("Install.exe -s", "5.7", [], True, ("5.7", BARE), []),  # the same tree
        ("/i", "5.7 rebuilt", [OFF_PATH], True, ("5.7 rebuilt", BARE), []),
        ("/i", "5.7", [OFF_PATH], False, ("5.7 rebuilt", BARE), []),  # another build of 5.7
        ("/i", "5.8", [OFF_PATH], True, ("5.8", BARE), []),
        ("/i", "5.7", [OFF_PATH], False, ("5.8", BARE), []),
        ("/x", "5.8", [], True, None, [])]),
    "full, repaired and upgraded: still full; every feature removed": (DEFAULT, [
        ("/i", "5.7", ["BOOTVARIANT=full"], True, ("5.7", FULL), []),
        ("/i", "5.7", REPAIR, True, ("5.7", FULL), []),
        ("/i", "5.8", [], True, ("5.8", FULL), []),
        ("/i", "5.8", ["REMOVE=ALL"], True, None, [])]),
    "remembered: a repair switches the variant, an upgrade keeps PATH alone": (DEFAULT, [
            ("/i", "5.7", [OFF_PATH], True, ("5.7", BARE), []),
            ("/i", "5.7", ["REINSTALL=ALL", "BOOTVARIANT=full"], True, ("5.7", FULL), []),
            ("/i", "5.8", [], True, ("5.8", FULL), []),
            ("/x", "5.8", [], True, None, [])]),
    "a repair refused where others may change the folder": (DEFAULT, [
        ("/i", "5.7", [], True, ("5.7", BARE), []),
        ("/i opened", "5.7", REPAIR, False, ("5.7", BARE), [
            DEFAULT + " can be changed by users other than administrators; nothing was "
            "installed."]),
        ("/x", "5.7", [], True, None, [])]),
    "an uninstall while a launcher runs": (DEFAULT, [
        ("/i", "5.7", [], True, ("5.7", BARE), []),
        ("/x running", "5.7", [], True, {}, [])]),
    "refused or failed, leaving nothing": (DEFAULT, [
        ("/i", "5.7", ["BOOTVARIANT=fast"], False, None, ["Action start", ": ZorvanBadBoot."])]),
    "a folder PATH cannot hold refused": (FLEET, [
        ("/i", "5.7", [f"INSTALLDIR={FLEET}"], False, None, [": ZorvanRefusePath."])]),
    "a folder made before the installation refused, nothing written": (MADE, [
        ("/i made", "5.7", [f"INSTALLDIR={MADE}"], False, {"bin/version.dll": b"planted"}, [
            MADE + "\\bin holds version.dll, which this package does not install; nothing was "
            "installed."])]),
    "a folder a standard user made first refused, nothing written": (MADE, [
        ("/i user-made", "5.7", [f"INSTALLDIR={MADE}"], False, {}, [
            MADE + " can be changed by users other than administrators; nothing was "
            "installed."])]),
    "a folder above it that others may change refused, nothing written": (OPEN, [
        ("/i opened-above", "5.7", [f"INSTALLDIR={OPEN}"], False, None, [
            OPEN[:-7] + " can be changed by users other than administrators; nothing was "
            "installed."])]),
}
ONLY_WINDOWS = {"a folder a standard user made first refused, nothing written":
                "Wine applies no access lists and reports one owner for every folder",
    "remembered: a repair switches the variant, an upgrade keeps PATH alone":
        "Wine weighs a component's condition only when it first installs it, and carries no "
        "feature's state into an upgrade",
    "an uninstall while a launcher runs": "Wine replaces and removes files that programs run"}
# Read and execute, as Windows writes it back (generic or file rights); every other account
# than SYSTEM and Administrators gets no more.
READ_AND_RUN = {"0x1200a9", "FRFX", "FXFR", "GRGX", "GXGR"}


def locked(root):
    """Whether the folder's security descriptor is the package's lock: owned by SYSTEM, nothing
    inherited, nobody but SYSTEM and Administrators more than read and execute."""
    sddl = run(["powershell", "-NoProfile", "-Command", "(Get-Acl -LiteralPath $env:FOLDER).Sddl"],
               env=dict(os.environ, FOLDER=str(root))).stdout.decode().strip()
    entries = re.findall(r"\(A;[^;]*;([^;]*);;;([^)]*)\)", sddl)
    return sddl.startswith("O:SY") and "D:P" in sddl and all(
        who in ("SY", "BA") or rights in READ_AND_RUN for rights, who in entries), sddl


def made_by_a_standard_user(root):
    """root made first, owned by a new local user who is no administrator, with full control."""
    user = "zvnuser"
    subprocess.run(["net", "user", user, "/delete"], **QUIET)
    # At most 14 characters: a longer password makes net ask whether older systems matter.
    run(["net", "user", user, "Zv-" + os.urandom(5).hex() + "!", "/add"], stdin=subprocess.DEVNULL)
    root.mkdir(parents=True)
    run(["icacls", str(root), "/setowner", user])
    run(["icacls", str(root), "/grant", f"{user}:(OI)(CI)F"])


@pytest.mark.parametrize("folder, steps", [
    pytest.param(*row, marks=pytest.mark.windows(ONLY_WINDOWS[name])) if name in ONLY_WINDOWS
    else row for name, row in SCENARIOS.items()], ids=SCENARIOS.keys())
def test_msiexec(lane, system, packages, folder, steps, tmp_path):
    root = system[1] / folder[3:].replace("\\", "/")
    if lane.name == "windows" and (root.exists() or folder in (MADE, OPEN)):  # an earlier run's
        made = root.parent if folder == OPEN else root
        subprocess.run(["cmd", "/c", "rmdir", "/s", "/q", str(made)], **QUIET)
    try:
        run_steps(lane, system, packages, folder, steps, root, tmp_path)
    finally:
        if lane.name == "windows":  # nothing left installed for the next scenario
            for name in ("5.8", "5.7 rebuilt", "5.7", "5.6"):
                subprocess.run(["msiexec", "/x", str(packages[name][0]), "/qn"], **QUIET)
            subprocess.run(["net", "user", "zvnuser", "/delete"], **QUIET)


def open_to_everyone(lane, folder):
    if lane.name == "windows":
        run(["icacls", str(folder), "/grant", "*S-1-1-0:(OI)(CI)M"])
    else:
        folder.chmod(0o777)  # Wine's own access list


def msiexec(lane, system, action, package, log, properties):
    """Runs msiexec. Windows' own takes a property's value only in quotes after its name
    (PROPERTY="a value"), not quoted whole as programs' arguments are."""
    if lane.name != "windows":
        return subprocess.run(lane.command("msiexec", action, lane.path(package), "/qn", "/l*v",
                                           lane.path(log), *properties),
                              env=system[0], timeout=300, **QUIET)
    given = " ".join('{}="{}"'.format(*p.split("=", 1)) for p in properties)
    return subprocess.run(f'msiexec {action} "{package}" /qn /l*v "{log}" {given}', timeout=300,
                          **QUIET)


def machine_path(lane, system):
    """The machine's PATH as the registry holds it."""
    key = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
    done = run(lane.command("reg", "query", key, "/v", "PATH"), env=system[0])
    return done.stdout.decode("latin-1").split("REG_EXPAND_SZ", 1)[1].strip()


def as_read(lane, system, tree, tmp_path):
    """The tree with each zvn.ini as the program's reader reads it (CR LF or LF alike)."""
    out = dict(tree)
    for name, data in tree.items():
        if name.endswith("/" + CONFIGURATION):
            (tmp_path / CONFIGURATION).write_bytes(data)
            out[name] = run(lane.command(lane.artifacts / "ini_query.exe",
                                         lane.path(tmp_path / CONFIGURATION)), env=system[0]).stdout
    return out


def run_steps(lane, system, packages, folder, steps, root, tmp_path):
    on_path = not any(OFF_PATH in properties for _, _, properties, _, _, _ in steps)
    for number, (action, name, properties, succeeds, tree, logged) in enumerate(steps):
        package, log = packages[name][0], tmp_path / f"{number}.log"
        action, _, prepare = action.partition(" ")
        if action == "/x":  # what a killed Install.exe leaves goes too
            for left in [f"{BIN}/zvn.exe.tmp", f"{runtime_folder(packages[name][2])}/zvn.ini.old"]:
                (root / left).write_bytes(b"partial")
        if prepare == "running":  # a launcher that runs: a program that waits
            shutil.copy(lane.artifacts / "tests" / "hold.exe", root / BIN / "zvn.exe")
            (tmp_path / "held").write_bytes(b"")
        running = prepare == "running" and subprocess.Popen(
            [str(root / BIN / "zvn.exe"), str(tmp_path / "held"), "60000"], **QUIET)
        if prepare == "opened":  # everyone may change the folder
            open_to_everyone(lane, root)
        if prepare == "opened-above":  # everyone may change the folder it would be made in
            root.parent.mkdir(exist_ok=True)
            open_to_everyone(lane, root.parent)
        if prepare == "user-made":
            made_by_a_standard_user(root)
        if prepare == "made":  # by a user, who keeps a DLL of theirs beside the launchers
            (root / BIN).mkdir(parents=True)
            (root / BIN / "version.dll").write_bytes(b"planted")
        if action == "Install.exe":  # an administrator's run by hand, in the installed tree
            log.write_bytes(b"")
            done = subprocess.run(lane.command(folder + "\\Install.exe", prepare),
                                  env=system[0], timeout=120, **QUIET)
        else:
            done = msiexec(lane, system, action, package, log, properties)
        step = f"msiexec {action} {package.name} {properties}"
        running and running.kill()
        assert (done.returncode == 0) == succeeds, step
        if lane.name == "windows":  # the real exit codes, and the lock as Windows applied it
            assert done.returncode == (3010 if running else 0 if succeeds else 1603), step
            if succeeds and isinstance(tree, tuple):
                assert locked(root)[0], (step, locked(root)[1])
        expected = installed_tree(packages[tree[0]][1], folder, packages[tree[0]][2], tree[1]) \
            if isinstance(tree, tuple) else tree
        actual = files_below(root) if root.exists() else None
        if running:  # in use: removed once Windows restarts
            expected = {f"{BIN}/zvn.exe": (lane.artifacts / "tests" / "hold.exe").read_bytes()}
        if expected and actual:
            expected, actual = (as_read(lane, system, t, tmp_path) for t in (expected, actual))
        assert actual == expected, step
        assert machine_path(lane, system).split(";").count(f"{folder}\\{BIN}\\") == (
            1 if isinstance(tree, tuple) and on_path else 0), step
        text = log.read_bytes()  # Windows writes its log in UTF-16
        text = text.decode("utf-16") if text.startswith(b"\xff\xfe") else text.decode("latin-1")
        places = [text.find(line) for line in logged]
        assert -1 not in places and places == sorted(places), (step, logged)


# Roots that Install.exe refuses, and the line it prints: a root whose longest path does not fit
# its buffers, and one the system's code page (Wine's and hosted runners' 1252) cannot hold.
LONG = "C:\\" + "z" * (259 - 3 - len("\\releases\\R9\\launch_vantor.seq") + 1)
REFUSED_ROOTS = [
    (LONG, f"Path is longer than 259 bytes: {LONG}\\releases\\R9\\launch_vantor.seq"),
    ("C:\\Zorvan \u03a9", "Root directory cannot be represented in the system's code page: "
     "C:\\Zorvan \u03a9")]


@pytest.mark.parametrize("root, line", REFUSED_ROOTS, ids=["too long", "off the code page"])
def test_msiexec_refuses_the_roots_install_exe_refuses(lane, system, packages, root, line,
                                                        tmp_path):
    host = system[1] / root[3:]
    shutil.copytree(packages["5.7"][1], host)
    log = tmp_path / "refused.log"
    done = msiexec(lane, system, "/i", packages["5.7"][0], log, [f"INSTALLDIR={root}"])
    text = log.read_bytes()
    text = text.decode("utf-16") if text.startswith(b"\xff\xfe") else text.decode("cp1252")
    # Wine's log is in the 8-bit code page, which cannot show what the root does not fit.
    assert done.returncode == (1603 if lane.name == "windows" else 67)  # Wine cuts it to 8 bits
    # Wine's log, and Install.exe, name the root in its 8-bit form, which holds no Omega.
    shown = line.split("\u03a9")[0]
    assert f"ZorvanRootRefused = {shown}" in text
    assert files_below(host) == files_below(packages["5.7"][1])
    program = subprocess.run(lane.command(root + "\\Install.exe", "-s"), env=system[0],
                             capture_output=True, timeout=120)
    assert program.returncode == 1 and program.stderr.decode("cp1252").startswith(shown)
    shutil.rmtree(host)
