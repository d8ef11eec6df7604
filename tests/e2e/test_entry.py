"""The command line, the installation root, the boot prompt and the install manifest."""

import os
import shutil
import subprocess
import threading

import pytest

from conftest import BOOT_FILES, PROMPT, Tree, file_bytes


def message(text):
    return text.encode("latin-1")


@pytest.mark.parametrize(
    "args, error",
    [
        (["-x"], "Unknown command switch -x\n"),
        (["-"], "Unknown command switch -\n"),
        (["-S"], "Unknown command switch -S\n"),
        (["--s"], "Unknown command switch --s\n"),
        (["D:\\a", "D:\\b"],
         "Only one root directory can be specified, parameter D:\\b is illegal\n"),
        (["D:\\a", "-x", "D:\\b"], "Unknown command switch -x\n"),
        (["", "x"], "Only one root directory can be specified, parameter x is illegal\n"),
        (["-s", "a", "-s", "b"],
         "Only one root directory can be specified, parameter b is illegal\n"),
    ],
)
def test_command_line_errors(tree, args, error):
    tree.lay()
    assert tree.run(*args) == (1, b"", message(error))
    assert not (tree.root / "bin").exists()


@pytest.mark.parametrize(
    "args",
    [["D:\\inst", "-s"], ["-s", "D:\\inst"], ["-silent", "D:\\inst"], ["D:\\inst", "-sq"]],
)
def test_silent_switch_before_or_after_the_root(tree, args):
    # The relative root 'D:\inst' does not hold a manifest; no prompt is shown.
    assert tree.run(*args) == (1, b"", b"Cannot open init file D:\\inst\\Install.ini\n")


@pytest.mark.parametrize(
    "root, manifest",
    [("/s", "/s\\Install.ini"), ("", "\\Install.ini"), ("rel\\", "rel\\\\Install.ini")],
)
def test_root_is_used_unchanged(tree, root, manifest):
    assert tree.run(root, "-s") == (1, b"", message(f"Cannot open init file {manifest}\n"))


@pytest.mark.parametrize(
    "answer, full_boot",
    [
        (b"\n", True),
        (b"n\n", True),
        (b"no\n", True),
        (b"ye\n", True),
        (b"yes \n", True),
        (b"yess\n", True),
        (b" y\n", True),
        (b"y\x00\n", True),
        (b"y\n", False),
        (b"Y\n", False),
        (b"yes\n", False),
        (b"YES\n", False),
        (b"yEs\r\n", False),
        (b"y\rjunk\n", False),
        (b"y", False),  # input ends without a line feed
        (b"y\r" + b"x" * 300 + b"\n", False),  # judged by its first 99 bytes
        (b"yes" + b"x" * 96 + b"\r\n", True),  # the carriage return is byte 100
        (b"x" * 5000 + b"\n", True),
        (b"x" * 1000, True),  # over-long and unterminated
    ],
)
def test_boot_answer_selects_the_variant(tree, answer, full_boot):
    tree.lay()
    status, out, err = tree.install(answer=answer)
    assert (status, err) == (0, b"")
    assert out == PROMPT + b"Zorvan 5.7 installed successfully\n"
    active = BOOT_FILES[1 if full_boot else 0]
    assert (tree.root / "bin" / "launch.seq").read_bytes() == file_bytes(active)


def test_prompt_is_flushed_before_the_answer_is_read(tree):
    # The answer is given only once the whole prompt has arrived through the pipe.
    tree.lay()
    process = subprocess.Popen(tree.command(tree.path()), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = bytearray()

    def read_prompt():  # a thread, as pipes cannot be waited on everywhere
        while len(seen) < len(PROMPT):
            chunk = os.read(process.stdout.fileno(), len(PROMPT) - len(seen))
            if not chunk:
                break
            seen.extend(chunk)

    reader = threading.Thread(target=read_prompt, daemon=True)
    reader.start()
    reader.join(60)
    assert seen == PROMPT
    out, err = process.communicate(b"y\n", timeout=120)
    assert (process.returncode, out, err) == (0, b"Zorvan 5.7 installed successfully\n", b"")
    assert (tree.root / "bin" / "launch.seq").read_bytes() == file_bytes(BOOT_FILES[0])


def test_root_that_the_code_page_cannot_hold(tmp_path, exe, lane, wrapper, monkeypatch):
    # A Cyrillic folder: bytes like any other on Linux; on Windows (a Western code page, as
    # Wine's and hosted runners' are) it is refused, given as the root or holding the program.
    monkeypatch.setenv("LC_ALL", "C.UTF-8")
    root = tmp_path / "Жук"
    root.mkdir()
    cyrillic = Tree(root, exe, lane, wrapper).lay()
    own = root / exe.name
    shutil.copy2(exe, own)
    for args, run_exe, shown in ((["-s", cyrillic.path()], None, cyrillic.path()),
                                 (["-s"], own, cyrillic.path())):
        status, out, err = cyrillic.run(*args, exe=run_exe)
        if lane.windows_build:
            shown = "".join(c if ord(c) < 128 else "?" for c in shown)
            expected = f"Root directory cannot be represented in the system's code page: {shown}\n"
            assert (status, out, err) == (1, b"", expected.encode())
            assert not (root / "bin").exists()
        else:
            assert (status, out, err) == (0, b"", b"")
            assert (root / "bin" / "zvn.ini").read_bytes().endswith("Жук\n".encode())


def test_end_of_input_before_any_answer(tree):
    tree.lay()
    assert tree.install(answer=b"") == (1, PROMPT, b"Could not read answer from user.\n")
    assert not (tree.root / "bin").exists()


def test_prompt_comes_before_the_manifest_is_read(tree):
    expected = message(f"Cannot open init file {tree.path('Install.ini')}\n")
    assert tree.install(answer=b"y\n") == (1, PROMPT, expected)


MANIFEST_FAILURES = [
    (None, "Cannot open init file {}\n"),
    (b"VSN=5.7\n[Install]\nSYSTEM_VSN=R9\n", "Cannot open init file {}\n"),
    (b"\xef\xbb\xbf[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n", "Cannot open init file {}\n"),
    (b"[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n[]\n", "Cannot open init file {}\n"),
    (b"", "No [Install] section in init file {}\n"),
    (b"; nothing but a comment\n", "No [Install] section in init file {}\n"),
    (b"[install]\nVSN=5.7\nSYSTEM_VSN=R9\n", "No [Install] section in init file {}\n"),
    (b"[Other]\nVSN=5.7\n", "No [Install] section in init file {}\n"),
    (b"[Install]\nvsn=5.7\nSYSTEM_VSN=R9\n", "No key VSN in init file {}\n"),
    (b"[Install]\nSYSTEM_VSN=R9\n", "No key VSN in init file {}\n"),
    (b"[Install]\nVSN=5.7\n", "No key SYSTEM_VSN in init file {}\n"),
    (b"[Install]\nVSN=5.7\n[Other]\nSYSTEM_VSN=R9\n", "No key SYSTEM_VSN in init file {}\n"),
    (b"[Install]\nVSN=5.7\n[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n",
     "No key SYSTEM_VSN in init file {}\n"),
    # Values whose folders, by their text, lead out of the root.
    (b"[Install]\nVSN=x\\\\..\\\\..\\\\elsewhere\nSYSTEM_VSN=R9\n",
     "Key VSN leads out of the root directory in init file {}\n"),
    (b"[Install]\nVSN=/../../x\nSYSTEM_VSN=R9\n",
     "Key VSN leads out of the root directory in init file {}\n"),
    (b"[Install]\nVSN=5.7\nSYSTEM_VSN=..\\\\..\\\\x\n",
     "Key SYSTEM_VSN leads out of the root directory in init file {}\n"),
    (b"[Install]\nVSN=5.7\nSYSTEM_VSN=C:\\\\x\n",
     "Key SYSTEM_VSN leads out of the root directory in init file {}\n"),
    (b"[Install]\nVSN=5.7\nSYSTEM_VSN=x\\\\.. \\\\..\n",
     "Key SYSTEM_VSN leads out of the root directory in init file {}\n"),
    # Folders that Windows paths and the names below the root would spell differently.
    (b"[Install]\nVSN=5.7.\nSYSTEM_VSN=R9\n",
     "Key VSN names a folder ending in a dot or a space in init file {}\n"),
]


@pytest.mark.parametrize("manifest, error", MANIFEST_FAILURES)
def test_manifest_failures(tree, manifest, error):
    tree.lay(manifest=manifest)
    expected = message(error.format(tree.path("Install.ini")))
    assert tree.install("-s") == (1, b"", expected)
    assert not (tree.root / "bin").exists()


def test_manifest_that_is_a_folder_cannot_be_opened(tree):
    tree.lay(manifest=None)
    (tree.root / "Install.ini").mkdir()
    expected = message(f"Cannot open init file {tree.path('Install.ini')}\n")
    assert tree.install("-s") == (1, b"", expected)


def test_only_the_install_section_and_its_keys_count(tree):
    manifest = (b"[Install]\r\n  VSN = 5.7 ; runtime\r\nSYSTEM_VSN=R9\r\nOther=x\r\n"
                b"[Install]\r\nVSN=9.9\r\n[More]\r\nVSN=1\r\n")
    tree.lay(manifest=manifest)
    assert tree.install("-s") == (0, b"", b"")
    assert tree.files() == tree.expected_files(full_boot=False)


LIMIT = 259  # longest path a 260-byte buffer holds


@pytest.mark.parametrize("length", [LIMIT - 12, LIMIT - 11, 400])
def test_root_just_under_at_and_over_the_limit(tree, length):
    root = "r" * length  # a relative root; "\Install.ini" adds 12 bytes
    manifest = root + "\\Install.ini"
    if len(manifest) <= LIMIT:
        expected = f"Cannot open init file {manifest}\n"
    else:
        expected = f"Path is longer than {LIMIT} bytes: {manifest}\n"
    assert tree.run(root, "-s") == (1, b"", message(expected))


def manifest_with(vsn, system_vsn):
    return f"[Install]\nVSN={vsn}\nSYSTEM_VSN={system_vsn}\n".encode()


def test_version_values_over_the_limit_touch_nothing(tree):
    root = tree.path()
    manifest_path = tree.path("Install.ini")
    fill = LIMIT + 1 - len(root + "\\zrun-" + "\\bin")  # makes runtime_bin one byte too long
    fill_release = LIMIT + 1 - len(root + "\\releases\\")
    cases = [
        (manifest_with("v" * (LIMIT + 1), "R9"),
         f"Key VSN is longer than {LIMIT} bytes in init file {manifest_path}\n"),
        (manifest_with("v" * fill, "R9"),
         f"Path is longer than {LIMIT} bytes: {root}\\zrun-{'v' * fill}\\bin\n"),
        (manifest_with("5.7", "s" * fill_release),
         f"Path is longer than {LIMIT} bytes: {root}\\releases\\{'s' * fill_release}\n"),
    ]
    for manifest, error in cases:
        (tree.root / "Install.ini").write_bytes(manifest)
        assert tree.install("-s") == (1, b"", message(error))
        assert not (tree.root / "bin").exists()


def test_runtime_folder_at_the_limit_fails_on_the_first_launcher(tree):
    root = tree.path()
    fill = LIMIT - len(root + "\\zrun-" + "\\bin")  # runtime_bin fits exactly
    (tree.root / "Install.ini").write_bytes(manifest_with("v" * fill, "R9"))
    runtime_bin = f"{root}\\zrun-{'v' * fill}\\bin"
    expected = f"Path is longer than {LIMIT} bytes: {runtime_bin}\\zvn.exe\n"
    assert tree.install("-s") == (1, b"", message(expected))
    assert list((tree.root / "bin").iterdir()) == []


def test_program_path_at_and_over_the_limit(tree, exe):
    tree.lay()
    prefix = len(tree.path()) + 1  # the root, then a separator
    for over in (False, True):
        # A folder inside the root whose name brings the program's path to the limit or past it.
        name_length = LIMIT - prefix - 1 - len(exe.name) + (1 if over else 0)
        folder = tree.root / ("p" * name_length)
        folder.mkdir()
        shutil.copy2(exe, folder / exe.name)
        (folder / "Install.ini").write_bytes(b"[Install]\nSYSTEM_VSN=R9\n")
        try:
            status, out, err = tree.run("-s", exe=folder / exe.name)
        except OSError:  # Windows itself may start no program from a path this long
            assert over and tree.lane.name == "windows"
            continue
        if over:
            expected = message(f"The program's own path is longer than {LIMIT} bytes\n")
        else:
            own = tree.path(folder.name) if tree.lane.windows_build else (
                str(folder).replace("/", "\\"))
            manifest = own + "\\Install.ini"  # beside the program
            expected = message(f"No key VSN in init file {manifest}\n" if len(manifest)
                               <= LIMIT else f"Path is longer than {LIMIT} bytes: {manifest}\n")
        assert (status, out, err) == (1, b"", expected)
