"""The Windows Installer package of tools/package: its tables as built (no Wine), and under
msiexec, installed, repaired, failed, upgraded and uninstalled, over the sample distribution, a
rebuild of it and a second version: under Wine in a fresh 64-bit prefix of its own, or by the
Windows Installer service itself in the windows lane. Outcomes and the msiexec log are checked;
exit codes only on Windows: Wine cuts those to 8 bits, and takes a custom action that cannot
load for a success. Only Windows applies the lock, which the windows lane reads back."""

import contextlib
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

from distribution import lay
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


# Name, VSN, tools/package's options (SIGNED: signed and timestamped), files left out.
SIGNED = ["--cert", "{cert}", "--key", "{key}", "--timestamp", "{authority}"]
PACKAGES = [("5.7", "5.7", SIGNED, []), ("5.7 rebuilt", "5.7", ["--build", "1"], []),
            ("5.8", "5.8", [], []),
            ("broken", "5.7", ["--version", "5.7.1"], ["releases/R9/launch_vantor.seq"])]


@pytest.fixture(scope="module")
def packages(lane):
    """Name -> (package, stage, VSN): the sample (signed and timestamped), a newer build of the
    same version from a changed stage, its next version, and the sample without a boot file, each
    staged with the release's Install.exe and built once (kept as packages/msi)."""
    folder = kept(lane, "msi", build_packages)
    built = {"cert": folder / "cert.pem", "key": folder / "key.pem", "tsa": folder / "tsa.pem"}
    for name, vsn, _, _ in PACKAGES:
        built[name] = (next((folder / name).glob("*.msi")), folder / name / "stage", vsn)
    return built


def build_packages(folder):
    run(["git", "clone", "--quiet", str(ROOT), str(folder / "clone")])
    run([str(folder / "clone" / "tools" / "release")], cwd=folder / "clone")
    key, cert = throwaway_certificate(folder)
    with timestamp_authority(folder) as (authority, _):
        for name, vsn, options, left_out in PACKAGES:
            stage = folder / name / "stage"
            lay(stage, skip=left_out)
            shutil.copy(folder / "clone" / "build" / "release" / "Install.exe", stage)
            if vsn != "5.7":  # a new runtime folder
                (stage / "zrun-5.7").rename(stage / f"zrun-{vsn}")
                manifest = stage / "Install.ini"
                manifest.write_text(manifest.read_text().replace("VSN = 5.7", f"VSN = {vsn}"))
            if name != "5.7":  # a changed boot file
                (stage / "releases" / "R9" / "launch_bare.seq").write_text(f"boot: {name}\n")
            run([str(ROOT / "tools" / "package"), str(stage), "--out", str(folder / name),
                 *[o.format(cert=cert, key=key, authority=authority) for o in options]])
            if options is SIGNED:  # the stage as installed: Install.exe signed
                package = next((folder / name).glob("*.msi"))
                run(["msiextract", "-C", str(folder / name / "files"), str(package)])
                shutil.copy(next((folder / name / "files").rglob("Install.exe")), stage)
                shutil.rmtree(folder / name / "files")
    shutil.rmtree(folder / "clone")


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
    # The package refuses to install over the setup (Wine logs no launch condition's text).
    refused = subprocess.run(lane.command("msiexec", "/i", lane.path(package), "/qn"), env=wine,
                             timeout=300, **QUIET)
    assert refused.returncode != 0 and not (system[1] /
                                            "Program Files" / "Zorvan").exists()
    assert uninstall(lane, destination, wine)
    shutil.copytree(packages["5.8"][1], tmp_path / "stage")  # other times and path, same files
    run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out", str(tmp_path)])
    for built in ["Zorvan-5.8.msi", "Zorvan-5.8-setup.exe"]:
        assert (tmp_path / built).read_bytes() == packages["5.8"][0].with_name(built).read_bytes()
    codes = set()
    for signed in ["signed", "signed again"]:  # the same stage, signed at another time
        run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out",
             str(tmp_path / signed), "--cert", str(packages["cert"]), "--key",
             str(packages["key"])])
    for built in [packages["5.8"][0], *tmp_path.glob("signed*/Zorvan-5.8.msi")]:
        summary = run(["msiinfo", "suminfo", str(built)]).stdout.decode()
        codes.add(({row["Property"]: row["Value"] for row in msi_table(built, "Property")}[
            "ProductCode"], re.search(r"Revision number \(UUID\): (\S+)", summary).group(1)))
    assert len({product for product, _ in codes}) == len({package for _, package in codes}) == 3


def msi_table(package, name):
    """A table of the package as rows of {column: text}."""
    lines = run(["msiinfo", "export", str(package), name]).stdout.decode().split("\r\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def is_short_name(name):
    return re.fullmatch(r"[A-Za-z0-9_~-]{1,8}(\.[A-Za-z0-9_-]{1,3})?", name) is not None


# The actions that must run in this order (in the same sequence as the ones before them): the
# remembered properties, the judge before anything is removed or written, Install.exe once the
# files are in place, the registry only once it has succeeded.
ORDER = ["AppSearch", "ZorvanRememberedDir", "ZorvanRememberedBoot", "ZorvanDefaultBoot",
         "ZorvanBadBoot", "LaunchConditions", "CostFinalize", "ZorvanInstallLocation",
         "ZorvanFirst", "ZorvanJudgeData", "ZorvanJudgeEarly", "InstallInitialize", "ZorvanJudge",
         "RemoveExistingProducts", "CreateFolders", "InstallFiles", "ZorvanRollbackData",
         "ZorvanRollback", "ZorvanInstallData", "ZorvanInstall", "WriteRegistryValues",
         "InstallFinalize"]
URL = "https://zorvan.invalid/help"


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """The sample package built once without Wine (build 3, with long names, support links and a
    winget manifest): its path, and its tables as rows of {column: text} by name."""
    folder = tmp_path_factory.mktemp("tables")
    lay(folder / "stage")
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
            ("a$(b)", b"zrun-5.7/a$(b) is a device's name on Windows or reads as wixl's own")]:
        shutil.copytree(tmp_path / "stage", tmp_path / "refused stage")
        (tmp_path / "refused stage" / "zrun-5.7" / name).write_text("")
        refused = subprocess.run([str(ROOT / "tools" / "package"), str(tmp_path / "refused stage"),
                                  "--out", str(tmp_path / "refused")], capture_output=True)
        assert (refused.returncode, refused.stderr, (tmp_path / "refused").exists()) == (
            1, b"tools/package: " + message + b"\n", False)
        shutil.rmtree(tmp_path / "refused stage")


@pytest.mark.linux_tools
def test_package_tables_run_the_actions_in_order(tables):
    package, table = tables
    actions = {row["Action"]: row for row in table("CustomAction")}
    steps = {row["Action"]: row for row in table("InstallExecuteSequence")}
    numbers = [int(steps[action]["Sequence"]) for action in ORDER]
    assert numbers == sorted(numbers) and len(set(numbers)) == len(numbers)
    assert not [a for a in actions.values() if "cmd" in (a["Source"] + a["Target"]).lower()]
    assert max(len(a["Target"]) for a in actions.values()) <= 255  # the column's width
    assert actions["ZorvanInstallData"]["Target"] == (
        f"[BOOTVARIANT]|{hashlib.sha256(b'MZ').hexdigest()}|[INSTALLDIR]")
    # In the script with the installation's rights, the rollback's before the run it undoes;
    # the judge once before the script too.
    assert {name: int(actions[name]["Type"]) for name in
            ["ZorvanJudge", "ZorvanInstall", "ZorvanRollback", "ZorvanJudgeEarly"]} == {
        "ZorvanJudge": 3073, "ZorvanInstall": 3073, "ZorvanRollback": 3329,
        "ZorvanJudgeEarly": 1}
    # Each runs only while the feature is being installed (so removing it runs none), and the
    # rollback only on a first installation.
    for name in ["ZorvanJudge", "ZorvanJudgeEarly", "ZorvanInstall", "ZorvanRollback"]:
        assert "&Zorvan=3" in steps[name]["Condition"], name
    assert "NOT Installed" in steps["ZorvanRollback"]["Condition"]


@pytest.mark.linux_tools
def test_package_tables_lock_every_folder_and_install_exe(tables):
    package, table = tables
    program = next(row["File"] for row in table("File") if row["FileName"] == "Install.exe")
    folders = {row["Directory"] for row in table("Directory")
               if row["Directory"] not in {"TARGETDIR", "ProgramFiles64Folder"}}
    assert {"INSTALLDIR", "BINDIR", "RUNTIMEBIN"} <= folders
    locks = {(row["Table"], row["LockObject"]): row["SDDLText"]
             for row in table("MsiLockPermissionsEx")}
    assert set(locks) == {("CreateFolder", folder) for folder in folders} | {("File", program)}
    assert all(sddl.startswith("O:SYG:SYD:PAI(") and "BU)" in sddl and "AC)" in sddl
               and "AU)" not in sddl for sddl in locks.values())
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
        shorts = [name.split("|")[0] for where, name in names if where == folder]
        assert all(map(is_short_name, shorts)) and len(set(shorts)) == len(shorts), shorts
    assert {name for _, name in names if "|" in name} >= {
        "ALONGN~1.TXT|A long name.txt", "ALONGN~1.TXZ|A long name.txz",
        "LONGFO~1|Long folder name", "LAUNCH~2.SEQ|launch_vantor.seq"}


@pytest.mark.linux_tools
def test_package_tables_set_properties_builds_and_winget(tables):
    package, table = tables
    properties = {row["Property"]: row["Value"] for row in table("Property")}
    assert {key: properties.get(key) for key in ["ARPNOMODIFY", "ARPURLINFOABOUT", "ARPHELPLINK"]
            } == {"ARPNOMODIFY": "1", "ARPURLINFOABOUT": URL, "ARPHELPLINK": URL}
    assert {"INSTALLDIR", "BOOTVARIANT"}.isdisjoint(properties["SecureCustomProperties"].split(";"))
    assert {"bin\\", "bin\\zvn.exe.old", "zrun-5.7\\bin\\", "releases\\R9\\launch_bare.seq"} <= set(
        properties["ZorvanKnown"].split("|"))
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
        "kernel32.dll", "msi.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "bcrypt.dll"}
    assert {symbol.name for symbol in image.DIRECTORY_ENTRY_EXPORT.symbols} == {
        b"ZorvanInstall", b"ZorvanRollback", b"ZorvanJudge"}
    image.close()


FLEET = r"C:\Program Files\Fleet Apps (x64)\A&B 100%OS%^ été\Zorvan"
DEFAULT = r"C:\Program Files\Zorvan"
BARE, FULL = False, True  # the boot variant installed: full or not
REPAIR = ["REINSTALL=ALL", "REINSTALLMODE=amus"]
ASKED = ("Install.exe: Do you want a minimal startup instead of vantor [No]: Zorvan {} installed"
         " successfully")
# Steps: msiexec's action (with what the step does first to the installed folder), the package,
# the properties given, whether msiexec succeeds, whose tree is then installed with which boot
# file (or None: the folder is gone), and lines that the msiexec log holds, in this order.
# Folders made first: under C:\Program Files, where an administrator's new folder lets only
# administrators change it (one directly under C:\ lets Authenticated Users change it), and
# under a folder that everyone may change.
MADE, OPEN = r"C:\Program Files\Zorvan made", r"C:\Zorvan open\Zorvan"
SCENARIOS = {
    "upgraded by a newer build and a version, older and same-version builds refused, removed": (FLEET, [
        ("/i", "5.7", [f"INSTALLDIR={FLEET}"], True, ("5.7", BARE), []),
        ("/i", "5.7 rebuilt", [], True, ("5.7 rebuilt", BARE), []),
        ("/i", "broken", [], False, ("5.7 rebuilt", BARE),  # another build of 5.7.1
         [": LaunchConditions. Return value"]),  # Wine logs no message, and 0 for the failure
        ("/i", "5.7", [], False, ("5.7 rebuilt", BARE), []),
        ("/i", "5.8", [], True, ("5.8", BARE), []),
        ("/i", "5.7", [], False, ("5.8", BARE), []),
        ("/x", "5.8", [], True, None, [])]),
    "full, repaired and upgraded: still full; the feature removed": (DEFAULT, [
        ("/i", "5.7", ["BOOTVARIANT=full"], True, ("5.7", FULL), [ASKED.format("5.7")]),
        ("/i", "5.7", REPAIR, True, ("5.7", FULL),
         [ASKED.format("5.7")]),
        ("/i", "5.8", [], True, ("5.8", FULL), [ASKED.format("5.8")]),
        ("/i", "5.8", ["REMOVE=Zorvan"], True, None, [])]),
    "repairs failed or refused, keeping the installation": (DEFAULT, [
        ("/i", "5.7", [], True, ("5.7", BARE), []),
        ("/i planted", "5.7", REPAIR, False, ("5.7", BARE), [
            "Install.exe: Could not copy file C:\\Program Files\\Zorvan\\bin\\launch_bare.seq to "
            "C:\\Program Files\\Zorvan\\bin\\launch.seq", "Install.exe failed with exit status 1"]),
        ("/i opened", "5.7", REPAIR, False, ("5.7", BARE), [
            "C:\\Program Files\\Zorvan can be changed by users other than administrators; "
            "nothing was installed."]),
        ("/x", "5.7", [], True, None, [])]),
    "refused or failed, leaving nothing": (DEFAULT, [
        ("/i", "5.7", ["BOOTVARIANT=fast"], False, None, ["Action start", ": ZorvanBadBoot."]),
        ("/i", "broken", [], False, None, [
            "Install.exe: Could not find file C:\\Program Files\\Zorvan\\releases\\R9\\"
            "launch_vantor.seq", "Install.exe failed with exit status 1"])]),
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
                "Wine applies no access lists and reports one owner for every folder"}
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
            for name in ("5.8", "5.7 rebuilt", "5.7", "broken"):
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


def run_steps(lane, system, packages, folder, steps, root, tmp_path):
    for number, (action, name, properties, succeeds, tree, logged) in enumerate(steps):
        package, log = packages[name][0], tmp_path / f"{number}.log"
        action, _, prepare = action.partition(" ")
        if action == "/x":  # what a killed Install.exe leaves goes too
            for left in ["bin/zvn.exe.tmp", f"zrun-{packages[name][2]}/bin/zvn.ini.tmp"]:
                (root / left).write_bytes(b"partial")
        if prepare == "planted":  # a folder where Install.exe puts a file: it fails
            (root / "bin" / "launch.seq").unlink()
            (root / "bin" / "launch.seq").mkdir()
        if prepare == "opened":  # everyone may change the folder
            (root / "bin" / "launch.seq").rmdir()
            open_to_everyone(lane, root)
        if prepare == "opened-above":  # everyone may change the folder it would be made in
            root.parent.mkdir(exist_ok=True)
            open_to_everyone(lane, root.parent)
        if prepare == "user-made":
            made_by_a_standard_user(root)
        if prepare == "made":  # by a user, who keeps a DLL of theirs beside the launchers
            (root / "bin").mkdir(parents=True)
            (root / "bin" / "version.dll").write_bytes(b"planted")
        done = msiexec(lane, system, action, package, log, properties)
        step = f"msiexec {action} {package.name} {properties}"
        assert (done.returncode == 0) == succeeds, step
        if lane.name == "windows":  # the real exit codes, and the lock as Windows applied it
            assert done.returncode == (0 if succeeds else 1603), step
            if succeeds and isinstance(tree, tuple):
                assert locked(root)[0], (step, locked(root)[1])
        expected = installed_tree(packages[tree[0]][1], folder, packages[tree[0]][2], tree[1]) \
            if isinstance(tree, tuple) else tree
        if prepare in ("planted", "opened"):  # each other file as it was
            expected.pop("bin/launch.seq")
        assert (files_below(root) if root.exists() else None) == expected, step
        text = log.read_bytes()  # Windows writes its log in UTF-16
        text = text.decode("utf-16") if text.startswith(b"\xff\xfe") else text.decode("latin-1")
        assert properties != REPAIR or "ZorvanRollback" not in text, step
        places = [text.find(line) for line in logged]
        assert -1 not in places and places == sorted(places), (step, logged)
