"""Checks that the manual page of elutrix-generate and its bash completion
name exactly the options that the program's --help lists, each manual page
entry with the value name --help gives it, and that bash completes the
options, the formats and scenario files with it:

    check_command_line_documents.py PROGRAM MANUAL_PAGE COMPLETION
"""

import os
import re
import subprocess
import sys
import tempfile


def help_options(program):
    """{option: value name or ""} from the option list of --help."""
    text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    options = {}
    for line in text.splitlines():
        found = re.match(r"^  (-[-\w,]+)(?: ([A-Z]+))?(?:  |$)", line)
        if found:
            for name in found.group(1).split(","):
                options[name] = found.group(2) or ""
    return options


def manual_options(path):
    """{option: value name or ""} from the .TP entries of the OPTIONS section."""
    lines = open(path, encoding="utf-8").read().splitlines()
    start = lines.index(".SH OPTIONS")
    end = next(k for k in range(start + 1, len(lines)) if lines[k].startswith(".SH"))
    options = {}
    for k in range(start, end):
        if lines[k] == ".TP":
            entry = lines[k + 1].replace("\\-", "-")
            value = re.search(r'" ([A-Z]+)"', entry)
            for name in re.findall(r"(?<![\w-])(--?[a-z][\w-]*)", entry):
                options[name] = value.group(1) if value else ""
    return options


def completion_options(path):
    """The options the completion offers for a word that begins with -."""
    text = open(path, encoding="utf-8").read()
    offered = re.search(r"compgen -W '(--[^']*)' -- \"\$cur\"\)\)\n\s*return\n\s*fi", text)
    return set(offered.group(1).split())


def completed(completion, folder, words):
    """What bash offers for the last of words (the command line so far)."""
    script = (f'source "{completion}"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
              'complete -p elutrix-generate > /dev/null && _elutrix_generate; printf "%s\\n" "${COMPREPLY[@]}"')
    out = subprocess.run(["bash", "-c", script, "bash", "elutrix-generate", *words], cwd=folder,
                         capture_output=True, text=True, check=True).stdout
    return set(filter(None, out.split("\n")))


def completion_problems(completion, long_options):
    with tempfile.TemporaryDirectory() as folder:
        for name in ["tailing.json", "notes.txt"]:
            open(os.path.join(folder, name), "w").close()
        os.mkdir(os.path.join(folder, "scenarios"))
        cases = [
            (["-"], long_options),
            (["--f"], {"--format"}),
            (["--format", ""], {"xy", "csv", "andi", "dataset"}),
            (["--andi-precision", "d"], {"double"}),
            ([""], {"tailing.json", "scenarios"}),
            (["--out", ""], {"scenarios"}),
            (["--", "-"], set()),
        ]
        return [f"completing {words}: {got} instead of {wanted}" for words, wanted in cases
                if (got := completed(completion, folder, words)) != wanted]


def main(program, manual, completion):
    documented = help_options(program)
    problems = []
    if not documented:
        problems.append("--help lists no option")
    in_manual = manual_options(manual)
    if in_manual != documented:
        problems.append(f"manual page {in_manual} differs from --help {documented}")
    long_options = {name for name in documented if name.startswith("--")}
    offered = completion_options(completion)
    if offered != long_options:
        problems.append(f"completion offers {sorted(offered)}, --help lists {sorted(long_options)}")
    problems += completion_problems(os.path.abspath(completion), long_options)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
