"""Hostile input: huge or strange manifests and answers end in success or a clear message."""

import pytest

from conftest import PROMPT

HEAD = b"[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n"
SUCCESS = (0, b"", b"")


def many_sections(count):
    return b"".join(b"[s%d]\nkey = value %d ; note\nk2=v\\\\\\;x\n" % (i, i) for i in range(count))


def hundred_megabytes():
    chunk = many_sections(10000)
    return HEAD + chunk * (100 * 1024 * 1024 // len(chunk) + 1)


@pytest.mark.parametrize(
    "name, manifest",
    [
        ("100 MB of sections", hundred_megabytes),
        ("one logical line of 10 MB", lambda: HEAD + b"big=" + b"x" * (10 * 1024 * 1024) + b"\n"),
        ("10 MB joined by continuations",
         lambda: HEAD + b"big=" + b"abc\\\n" * (2 * 1024 * 1024) + b"end\n"),
        ("100,000 sections", lambda: many_sections(50000) + HEAD + many_sections(50000)),
        ("NUL bytes end a value", lambda: b"[Install]\nVSN=5.7\x00junk\nSYSTEM_VSN=R9\x00\x00\n"),
        ("continuation at the end of the file", lambda: HEAD[:-1] + b"\\"),
        ("comment at the end of the file", lambda: HEAD[:-1] + b";"),
        ("no line feed at all", lambda: b"[Install]\rVSN=5.7\r"),
    ],
)
def test_large_and_odd_manifests(tree, name, manifest):
    data = manifest()
    tree.lay(manifest=data)
    status, out, err = tree.install("-s")
    if name == "no line feed at all":
        # Carriage returns alone end no line: one logical line, which is not a header.
        assert (status, out, err) == (
            1, b"", f"Cannot open init file {tree.path('Install.ini')}\n".encode())
    else:
        assert (status, out, err) == SUCCESS
        assert tree.files() == tree.expected_files(full_boot=False)


def test_every_byte_value_is_rejected_cleanly(tree):
    # Bytes 0 to 9 form a line without "=": the file does not form sections.
    tree.lay(manifest=HEAD + bytes(range(256)) * 4)
    expected = f"Cannot open init file {tree.path('Install.ini')}\n".encode()
    assert tree.install("-s") == (1, b"", expected)
    assert not (tree.root / "bin").exists()


def test_every_byte_value_inside_a_value(tree):
    printable = bytes(b for b in range(256) if b not in b"\n\r;\\ \x00")
    tree.lay(manifest=HEAD + b"all=" + printable + b"\n")
    assert tree.install("-s") == SUCCESS


@pytest.mark.parametrize(
    "answer, full_boot",
    [
        (b"y\r" + b"z" * (1024 * 1024) + b"\n", False),
        (b"Y" * (1024 * 1024) + b"\n", True),
        (b"n" * (1024 * 1024), True),  # no line feed before the end of input
    ],
    ids=["yes then a megabyte", "a megabyte of Y", "a megabyte without line feed"],
)
def test_answer_of_a_megabyte(tree, answer, full_boot):
    tree.lay()
    status, out, err = tree.install(answer=answer)
    assert (status, out, err) == (0, PROMPT + b"Zorvan 5.7 installed successfully\n", b"")
    assert tree.files() == tree.expected_files(full_boot=full_boot)


@pytest.mark.parametrize("root_tail", ["\n", "\r", "x\ny"], ids=["LF", "CR", "inner LF"])
def test_root_with_a_line_break_is_refused(tree, root_tail):
    tree.lay()
    root = tree.path() + root_tail
    expected = f"Root directory holds a line break: {root}\n".encode()
    assert tree.run(root) == (1, b"", expected)
    assert not (tree.root / "bin").exists()
