"""Finds the outside programs that the tests, benchmarks and scripts start, by reading their sources, and fails naming
every one that scripts/programs.list does not list. Usage: python3 scripts/started_programs.py [ROOT]

What counts as starting a program:
- Python: the command list given to subprocess.run/Popen/check_output/call (directly, through a variable that holds
  such lists, or through addCleanup(subprocess.run, [...])), the first argument of the harness's display.run("prog",
  ...), and shutil.which("prog").
- C++: a string literal as the first argument of QProcess::start, runClient, run, spawn, system or exec*.
- Shell: the first word of every command, in command substitutions and trap handlers too, past assignments and
  keywords; shell builtins and the script's own functions aside.
"""

import ast
import glob
import os
import re
import sys

SOURCES = ("tests/**/*.py", "tests/**/*.cpp", "tests/**/*.sh", "scripts/*", "bench/*", "fuzz/**/*.cpp", ".ci/*")
SPAWNERS = {"run", "Popen", "check_output", "check_call", "call", "which"}
PROGRAM = re.compile(r"[A-Za-z_][\w.+-]*")

SHELL_BUILTINS = {
    ".", ":", "[", "break", "cd", "command", "continue", "declare", "echo", "eval", "exit", "export", "false",
    "getopts", "hash", "kill", "let", "local", "mapfile", "printf", "pwd", "read", "readonly", "return", "set",
    "shift", "source", "test", "trap", "true", "type", "ulimit", "umask", "unset", "wait",
}
SHELL_PREFIXES = {"!", "if", "then", "else", "elif", "while", "until", "do", "exec", "time", "{", "}"}
SHELL_NOT_COMMANDS = {"for", "case", "function", "fi", "done", "esac", "in"}


def listed_programs(path):
    programs = set()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0]
            if ":" in line:
                programs.update(line.split(":", 1)[1].split())
    return programs


# --- Python ---------------------------------------------------------------------------------------------------------

def _name(node):
    if isinstance(node, ast.Attribute):
        return node.attr
    if isinstance(node, ast.Name):
        return node.id
    return None


def _command_lists(node):
    """The first strings of every list or tuple literal of strings inside node (a command, or a table of them)."""
    for child in ast.walk(node):
        if isinstance(child, (ast.List, ast.Tuple)) and child.elts:
            first = child.elts[0]
            if isinstance(first, ast.Constant) and isinstance(first.value, str):
                yield first


def _root_name(node):
    while isinstance(node, (ast.Subscript, ast.Attribute)):
        node = node.value
    return node.id if isinstance(node, ast.Name) else None


def python_programs(source):
    tree = ast.parse(source)
    found = []
    tables = set()  # names whose lists are handed to a spawner: attempts[0][0]
    calls = [node for node in ast.walk(tree) if isinstance(node, ast.Call)]
    for call in calls:
        if _name(call.func) in SPAWNERS and call.args:
            first = call.args[0]
            if isinstance(first, ast.Constant) and isinstance(first.value, str):
                found.append(first)
            elif isinstance(first, ast.List):
                found.extend(_command_lists(first))
            elif isinstance(first, ast.Subscript):
                tables.add(_root_name(first))
        # addCleanup(subprocess.run, ["umount", folder]) and the like.
        for i, arg in enumerate(call.args[:-1]):
            if _name(arg) in SPAWNERS and isinstance(call.args[i + 1], ast.List):
                found.extend(_command_lists(call.args[i + 1]))
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and any(_root_name(t) in tables for t in node.targets):
            found.extend(_command_lists(node.value))
    return [(node.lineno, node.value) for node in found]


# --- C++ ------------------------------------------------------------------------------------------------------------

CPP_START = re.compile(r"\b(?:start|runClient|run|spawn|system|execl|execlp|execv|execvp|posix_spawnp?)\(\s*"
                       r"(?:\{\s*|\(\s*|QStringLiteral\(\s*|QString\(\s*|u8)*\"([^\" ]+)")


def cpp_programs(source):
    return [(source.count("\n", 0, m.start()) + 1, m.group(1)) for m in CPP_START.finditer(source)]


# --- shell ----------------------------------------------------------------------------------------------------------

def _matching(text, i, open_char, close_char):
    """The index just past the close_char that closes the open_char at text[i]."""
    depth = 0
    while i < len(text):
        if text[i] == open_char:
            depth += 1
        elif text[i] == close_char:
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return i


def _flatten(text, i, stop, pieces):
    """Copies text from i to the `stop` that closes it (or the end) with quoted strings turned into Q and expansions
    into V; command substitutions and trap handlers go to pieces as (offset, flat text) of their own."""
    out = []
    depth = 0
    while i < len(text):
        c = text[i]
        if stop and c == stop and depth == 0:
            return "".join(out), i + 1
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        if c == "#" and (i == 0 or text[i - 1] in " \t\n;("):
            i = text.find("\n", i)
            i = len(text) if i < 0 else i
            continue
        if c == "\\":
            out.append(" " if text[i + 1:i + 2] == "\n" else text[i + 1:i + 2])
            i += 2
        elif c == "'":
            end = text.find("'", i + 1)
            end = len(text) if end < 0 else end
            if "".join(out).rstrip().endswith("trap"):
                pieces.append((i, _flatten(text[i + 1:end], 0, None, pieces)[0]))
            out.append("Q" + "\n" * text.count("\n", i, end))
            i = end + 1
        elif c == '"':
            start = i
            i += 1
            while i < len(text) and text[i] != '"':
                if text[i] == "\\":
                    i += 2
                elif text[i:i + 2] == "$(" and text[i:i + 3] != "$((":
                    flat, i = _flatten(text, i + 2, ")", pieces)
                    pieces.append((i, flat))
                elif text[i:i + 2] == "${":
                    i = _matching(text, i + 1, "{", "}")
                else:
                    i += 1
            out.append("Q" + "\n" * text.count("\n", start, i))
            i += 1
        elif c == "$" or (c in "<>" and text[i + 1:i + 2] == "("):
            start = i
            if text[i:i + 3] == "$((":
                i = _matching(text, i + 1, "(", ")")
            elif text[i + 1:i + 2] == "(":
                flat, i = _flatten(text, i + 2, ")", pieces)
                pieces.append((i, flat))
            elif text[i + 1:i + 2] == "{":
                i = _matching(text, i + 1, "{", "}")
            elif text[i + 1:i + 2] and text[i + 1] in "#?@*!$-0123456789":
                i += 2
            else:
                i += 1
                while i < len(text) and (text[i].isalnum() or text[i] == "_"):
                    i += 1
            out.append("V" + "\n" * text.count("\n", start, i))
        else:
            out.append(c)
            i += 1
    return "".join(out), i


def shell_programs(source):
    pieces = []
    top, _ = _flatten(source, 0, None, pieces)
    pieces.append((0, top))
    functions = set(re.findall(r"^\s*([\w-]+)\s*\(\)", source, re.M))
    found = []
    for offset, flat in pieces:
        # Tests, arithmetic, array literals and redirections hold no command.
        flat = re.sub(r"\[\[.*?\]\]|\(\(.*?\)\)|\w+\+?=\([^)]*\)", lambda m: " T " + "\n" * m[0].count("\n"), flat,
                      flags=re.S)
        flat = re.sub(r"\d*(?:>>|>|<)&?\s*[^\s;&|()]*", " ", flat)
        first_line = source.count("\n", 0, offset) + 1
        segments = ((n, s) for n, text in enumerate(flat.split("\n")) for s in re.split(r";|&&|\|\||\||&|\(|\)", text))
        for line, segment in segments:
            words = segment.split()
            while words and (words[0] in SHELL_PREFIXES or re.match(r"\w+=", words[0])):
                words.pop(0)
            if not words or words[0] in SHELL_NOT_COMMANDS:
                continue
            if words[0] == "timeout":
                words = [w for w in words[1:] if not w.startswith("-")][1:]
            elif words[0] in ("Q", "V") and len(words) > 1:
                # "${as_root[@]}" apt-get ...: a command given by a variable that runs the next word.
                words = words[1:]
            if words and PROGRAM.fullmatch(words[0]) and words[0] not in SHELL_BUILTINS | functions | {"Q", "V", "T"}:
                found.append((first_line + line, words[0]))
    return found


def is_shell(path, head):
    return path.endswith(".sh") or re.match(r"#!\s*\S*(?:/|env )(?:ba|da)?sh\b", head) is not None


def started_programs(root):
    """(file, line, program) for every program the sources start."""
    result = []
    files = sorted({path for pattern in SOURCES for path in glob.glob(os.path.join(root, pattern), recursive=True)})
    for path in files:
        if not os.path.isfile(path):
            continue
        with open(path, errors="replace") as f:
            source = f.read()
        relative = os.path.relpath(path, root)
        if path.endswith(".py"):
            programs = python_programs(source)
        elif path.endswith((".cpp", ".h")):
            programs = cpp_programs(source)
        elif is_shell(path, source[:100]):
            programs = shell_programs(source)
        else:
            continue
        result.extend((relative, line, program) for line, program in programs)
    return result


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    listed = listed_programs(os.path.join(root, "scripts", "programs.list"))
    unlisted = [(path, line, program) for path, line, program in started_programs(root) if program not in listed]
    for path, line, program in unlisted:
        print(f"{path}:{line}: starts {program}, which scripts/programs.list does not list", file=sys.stderr)
    return 1 if unlisted else 0


if __name__ == "__main__":
    sys.exit(main())
