"""The [project] table of pyproject.toml as setup() keyword arguments.

setuptools reads the table itself from version 61 on. Older ones (pyenv's
3.6 ships 40.6, and pip 18.1 runs setup.py directly) ignore it; for them
setup.py passes the same metadata through this module, so that it is still
written once, in pyproject.toml.

Where neither tomllib (3.11+) nor tomli is importable, the file is read by
read_simple_toml(), which knows only what pyproject.toml uses: [tables],
comments, and keys set to a basic string or an array of basic strings. It
refuses anything else rather than guess.
"""

import json
import os
import re

_TABLE = re.compile(r"\[\s*([A-Za-z0-9_.-]+)\s*\]$")
_KEY = re.compile(r"([A-Za-z0-9_-]+)\s*=\s*(.*)$", re.S)
_TOKEN = re.compile(r'\s+|#[^\n]*|"(?:[^"\\\n]|\\.)*"|[\[\],]')


def _tokens(text):
    position = 0
    while position < len(text):
        match = _TOKEN.match(text, position)
        if match is None:
            raise ValueError("unsupported TOML near %r" % text[position:position + 20])
        position = match.end()
        token = match.group()
        if not token.isspace() and not token.startswith("#"):
            yield token


def _value(text):
    """A basic string or an array of basic strings; None while an array is open."""
    tokens = list(_tokens(text))
    if len(tokens) == 1 and tokens[0].startswith('"'):
        return json.loads(tokens[0])
    if not tokens or tokens[0] != "[":
        raise ValueError("unsupported TOML value %r" % text.strip())
    if tokens[-1] != "]":
        return None
    items, expect_item = [], True
    for token in tokens[1:-1]:
        if expect_item and token.startswith('"'):
            items.append(json.loads(token))
        elif token != "," or expect_item:
            raise ValueError("unsupported TOML array %r" % text.strip())
        expect_item = not expect_item
    return items


def read_simple_toml(text):
    document, table, pending = {}, None, None
    for line in text.splitlines():
        if pending is not None:
            key, value_text = pending
            value_text += "\n" + line
        else:
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            header = _TABLE.match(stripped)
            if header:
                table = document
                for part in header.group(1).split("."):
                    table = table.setdefault(part, {})
                continue
            entry = _KEY.match(stripped)
            if entry is None or table is None:
                raise ValueError("unsupported TOML line %r" % line)
            key, value_text = entry.groups()
        value = _value(value_text)
        if value is None:
            pending = (key, value_text)
            continue
        pending = None
        if key in table:
            raise ValueError("key %r set twice" % key)
        table[key] = value
    if pending is not None:
        raise ValueError("array of %r not closed" % pending[0])
    return document


def read_pyproject(path):
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib
        except ImportError:
            return read_simple_toml(data.decode("utf-8"))
    return tomllib.loads(data.decode("utf-8"))


_README_TYPES = {".md": "text/markdown", ".rst": "text/x-rst", ".txt": "text/plain"}


def setup_arguments(project, root):
    """setup() keyword arguments for the keys of a [project] table."""
    arguments = {}
    for key, value in project.items():
        if key in ("name", "description", "classifiers"):
            arguments[key] = value
        elif key == "requires-python":
            arguments["python_requires"] = value
        elif key == "dependencies":
            arguments["install_requires"] = value
        elif key == "readme" and isinstance(value, str):
            with open(os.path.join(root, value), encoding="utf-8") as handle:
                arguments["long_description"] = handle.read()
            kind = _README_TYPES.get(os.path.splitext(value)[1].lower(), "text/plain")
            arguments["long_description_content_type"] = kind
        elif key == "scripts":
            arguments["entry_points"] = {"console_scripts": sorted(
                "%s = %s" % item for item in value.items())}
        elif key == "dynamic" and set(value) <= {"version"}:
            pass  # setup.py passes the version in every case
        else:
            # A key added to pyproject.toml must be taught here too, or the
            # builds made with old setuptools would silently lack it.
            raise ValueError("[project] %s is not passed on to setuptools < 61" % key)
    return arguments
