"""The reading of sources for the programs they start: what it must find, and what it must not take for a program."""

import unittest

from started_programs import cpp_programs, python_programs, shell_programs

SHELL = [
    ("command substitution, nested in quotes", 'root=$(cd "$(dirname "$0")/.." && pwd)', ["dirname"]),
    ("a command run through a variable", '"${as_root[@]}" apt-get purge -y quosh >/dev/null', ["apt-get"]),
    ("trap handler", "trap 'stop_xvfb; rm -rf \"$runtime\"' EXIT\nstop_xvfb() { :; }", ["rm"]),
    ("after a test and a pipe", '[[ -x $f && -f $f ]] || ldd "$f" | grep -q x', ["ldd", "grep"]),
    ("arithmetic, arrays and strings hold none", '((n != 0)) && echo "a; b | c"\nlist=(\n  one two\n)', []),
    ("timeout, assignments, keywords, process substitution",
     'if ! X=1 timeout 20 head -n 1 "$f"; then mapfile -t a < <(git ls-files); fi', ["head", "git"]),
    ("comments", "# xwd is not started here\necho done # nor here", []),
]
PYTHON = [
    ("command list", 'subprocess.run(["xwd", "-root"], env=env)', ["xwd"]),
    ("the harness's run", 'self.display.run("import", "-window", "root")', ["import"]),
    ("a cleanup that starts one", 'self.addCleanup(subprocess.run, ["umount", folder])', ["umount"]),
    ("a table of commands", 'attempts = [(["mount", "a"], ["umount", "a"])]\nsubprocess.run(attempts[0][0])',
     ["mount", "umount"]),
    ("looked up", 'if shutil.which("gtk-launch"): pass', ["gtk-launch"]),
    ("lists that are not commands", 'FORMATS = ["jpg", "bmp"]\nprint(["xwd"])', []),
]
CPP = [
    ("runClient", 'server.runClient(QStringLiteral("xrandr"), arguments);', ["xrandr"]),
    ("QProcess", 'm_process.start(QStringLiteral("Xvfb"), arguments);', ["Xvfb"]),
    ("argument vector", 'run({"xdotool", "mousemove", "--sync", x, y});', ["xdotool"]),
    ("shell command", 'std::system(("rm -rf \'" + home + "\'").c_str());', ["rm"]),
]


class StartedProgramsTest(unittest.TestCase):

    def test_each_language(self):
        for reader, rows in ((shell_programs, SHELL), (python_programs, PYTHON), (cpp_programs, CPP)):
            for name, source, expected in rows:
                with self.subTest(name):
                    self.assertEqual(sorted(program for _, program in reader(source)), sorted(expected))

    def test_lines_are_those_of_the_command(self):
        source = 'x=1\necho "one\ntwo"\npython3 -c \'\nprint(1)\n\'\nsed -n p "$f"\n'
        self.assertEqual(sorted(shell_programs(source)), [(4, "python3"), (7, "sed")])


if __name__ == "__main__":
    unittest.main()
