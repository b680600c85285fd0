#!/usr/bin/python3
"""The outputs the README shows, made again by real runs and compared.

    readme_outputs.py [--build DIR] [--update] [README.md]

Run by Debian's python3, which has numpy for the Python examples.

A fenced block whose output is checked has an HTML comment just before it
that says how to make it (a reader of the rendered page sees nothing):

    <!-- output: vorlan replay build/sample.pcap --frames 3 -->

or, for several commands or options, one item a line:

    <!-- output:
    $ vorlan check cut.pcap       run, and shown in the block as "$ command"
    show: ./build/vorlan ...      run, and shown as the command alone (as make echoes it)
    run: some command             run, not shown
    keep: 1-4 $-1-$               only these lines of the command above ("..." for the rest;
                                  none: only "...")
    setup: some command           run first, output not shown, must succeed
    mask: [0-9.]+ ms              text that differs from run to run (a regular expression)
    needs: editcap                skip the block where this program is missing
    -->

Commands run with bash, one session per block, in a fresh folder laid out as
a newcomer's source tree after `make demo`: build/ holds the programs and
libraries of the build and build/sample.pcap (`vorlan sim --seed 1
--seconds 10`), include/, examples/ and python/ are the source's, `vorlan` is
on the PATH, and so are the helpers beside this script; `python3` is the
interpreter that runs this script, with the package on its path. Standard error goes
with standard output. In a command, {above} is a file holding the fenced
block before the output block (a C or Python example) and {port} a UDP port
free on 127.0.0.1. Line ranges count from 1; $ is the last line. A mask
makes its matches compare equal; --update keeps the README's own text for
them, so that masked figures do not change with every update.

Without --update, prints a diff for each block that differs and fails;
with it, rewrites the blocks from the runs.
"""
import argparse
import difflib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
BLOCK_TIMEOUT = 40  # seconds for all commands of one block
MARKER = re.compile(r"^<!-- output:(.*?)-->\n```[^\n]*\n(.*?)^```$", re.S | re.M)
FENCE = re.compile(r"^```[^\n]*\n(.*?)^```$", re.S | re.M)


class Command:
    def __init__(self, kind, text):
        self.kind = kind  # "$", "show", "run" or "setup"
        self.text = text
        self.keep = None  # [(first, last)] as written


class Block:
    def __init__(self, match, text):
        self.start, self.end = match.span(2)
        self.line = text.count("\n", 0, match.start()) + 1
        self.body = match.group(2)
        self.commands, self.masks, self.needs = [], [], []
        marker = match.group(1).strip()
        if "\n" not in marker and not marker.startswith(("$ ", "show:", "run:", "setup:")):
            marker = "run: " + marker
        for item in marker.splitlines():
            item = item.strip()
            key, _, value = item.partition(":")
            if item.startswith("$ "):
                self.commands.append(Command("$", item[2:]))
            elif key in ("show", "run", "setup"):
                self.commands.append(Command(key, value.strip()))
            elif key == "keep":
                self.commands[-1].keep = value.split()
            elif key == "mask":
                self.masks.append(re.compile(value.strip()))
            elif key == "needs":
                self.needs.append(value.strip())
            elif item:
                raise SystemExit("README.md:%d: not understood in the output marker: %s" % (self.line, item))
        # The block before this one, for {above}.
        fences = [f for f in FENCE.finditer(text, 0, match.start())]
        self.above = fences[-1].group(1) if fences else ""


def line_number(written, count):
    """A line number as a keep range writes it: "3", "$" (the last line)
    or "$-2" (counted back from it), of `count` lines."""
    if written.startswith("$"):
        return count + int(written[1:]) if written[1:] else count
    return int(written)


def kept(lines, keep):
    """The lines of `keep` (ranges such as 1-11, 14-, $-3-$), with "..." for each run left out."""
    if keep is None:
        return lines
    wanted = set()
    for item in keep:
        if item == "none":
            continue
        first, _, last = re.match(r"^(\$?-?\d*)(-(\$?-?\d*))?$", item).groups()
        last = first if last is None else (last or "$")
        wanted.update(range(line_number(first, len(lines)), line_number(last, len(lines)) + 1))
    out, gap = [], False
    for number, line in enumerate(lines, 1):
        if number in wanted:
            out.append(line)
            gap = False
        elif not gap:
            out.append("...")
            gap = True
    return out


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def lay_out_folder(build):
    """A folder as a newcomer's tree after `make demo`, with the build's programs and libraries."""
    folder = tempfile.mkdtemp(prefix="readme_outputs_")
    os.mkdir(os.path.join(folder, "build"))
    for name in os.listdir(build):
        if name.startswith(("vorlan", "libvorlan")) and os.path.isfile(os.path.join(build, name)):
            os.symlink(os.path.join(build, name), os.path.join(folder, "build", name))
    for name in ("include", "examples", "python"):
        os.symlink(os.path.join(SOURCE, name), os.path.join(folder, name))
    bin_folder = os.path.join(folder, ".bin")
    os.mkdir(bin_folder)
    os.symlink(os.path.join(build, "vorlan"), os.path.join(bin_folder, "vorlan"))
    # `python3` in a command is the interpreter running this check (the build's, with numpy).
    with open(os.path.join(bin_folder, "python3"), "w", encoding="utf-8") as file:
        file.write('#!/bin/sh\nexec %s "$@"\n' % sh_quote(sys.executable))
    os.chmod(os.path.join(bin_folder, "python3"), 0o755)
    env = dict(os.environ, PATH=os.pathsep.join([bin_folder, HERE, os.environ.get("PATH", "")]),
               PYTHONPATH=os.path.join(SOURCE, "python"), VORLAN_LIBRARY_PATH=os.path.abspath(build),
               LC_ALL="C.UTF-8")
    subprocess.run(["vorlan", "sim", "--seed", "1", "--seconds", "10", "--out", "build/sample.pcap"], cwd=folder,
                   env=env, check=True, stdout=subprocess.DEVNULL)
    return folder, env


def run_block(block, folder, env):
    """The block's text as the commands make it now."""
    work = tempfile.mkdtemp(prefix="block_", dir=folder)
    for name in ("build", "include", "examples", "python"):
        os.symlink(os.path.join(folder, name), os.path.join(work, name))
    with open(os.path.join(work, ".above"), "w", encoding="utf-8") as file:
        file.write(block.above)
    port = str(free_udp_port())
    script = ["cd %s || exit 1" % sh_quote(work)]
    for n, command in enumerate(block.commands):
        text = command.text.replace("{above}", ".above").replace("{port}", port)
        if command.kind == "setup":
            script.append("{ %s\n} >.out%d 2>&1 || { echo 'setup failed: %s'; cat .out%d; exit 99; }"
                          % (text, n, text.replace("'", ""), n))
        else:
            script.append("{ %s\n} >.out%d 2>&1" % (text, n))
    # A session of its own, so that a block that overruns is ended with
    # everything it started in the background (a listener, the simulator).
    with subprocess.Popen(["bash", "-c", "\n".join(script)], cwd=work, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          start_new_session=True) as shell:
        try:
            said, _ = shell.communicate(timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(shell.pid, signal.SIGKILL)
            shell.communicate()
            raise RuntimeError("the commands took longer than %d s" % BLOCK_TIMEOUT)
    try:
        os.killpg(shell.pid, signal.SIGKILL)  # what the commands left running
    except ProcessLookupError:
        pass
    if shell.returncode == 99:
        raise RuntimeError(said)
    lines = []
    for n, command in enumerate(block.commands):
        if command.kind == "setup":
            continue
        if command.kind == "$":
            lines.append("$ " + command.text)
        elif command.kind == "show":
            lines.append(command.text)
        with open(os.path.join(work, ".out%d" % n), encoding="utf-8", errors="replace") as file:
            output = [line.rstrip() for line in file.read().splitlines()]
        lines.extend(kept(output, command.keep))
    return lines


def sh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def masked(lines, masks):
    out = []
    for line in lines:
        for mask in masks:
            line = mask.sub("<masked>", line)
        out.append(line)
    return out


def keep_masked_text(new, old, masks):
    """`new`, with each masked match taken from the README's line where that line has the same matches."""
    out = []
    for number, line in enumerate(new):
        if number < len(old) and masked([line], masks) == masked([old[number]], masks):
            line = old[number]
        out.append(line)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("readme", nargs="?", default=os.path.join(SOURCE, "README.md"))
    parser.add_argument("--build", help="the build folder (default: build beside the README)")
    parser.add_argument("--update", action="store_true", help="rewrite the marked blocks from the runs")
    args = parser.parse_args()
    build = os.path.abspath(args.build or os.path.join(os.path.dirname(os.path.abspath(args.readme)), "build"))
    with open(args.readme, encoding="utf-8") as file:
        text = file.read()
    blocks = [Block(match, text) for match in MARKER.finditer(text)]
    if not blocks:
        print("%s: no block marked <!-- output: ... -->" % args.readme)
        return 1
    folder, env = lay_out_folder(build)
    passed, failed, skipped = 0, 0, 0
    replacements = []
    try:
        for block in blocks:
            where = "%s:%d" % (os.path.basename(args.readme), block.line)
            missing = [program for program in block.needs if shutil.which(program, path=env["PATH"]) is None]
            if missing:
                print("%s: skipped, %s not installed" % (where, ", ".join(missing)))
                skipped += 1
                continue
            try:
                lines = run_block(block, folder, env)
            except RuntimeError as error:
                print("%s: %s" % (where, error))
                failed += 1
                continue
            old = block.body.splitlines()
            if masked(lines, block.masks) == masked([line.rstrip() for line in old], block.masks):
                passed += 1
                continue
            if args.update:
                replacements.append((block, keep_masked_text(lines, old, block.masks)))
                print("%s: updated" % where)
                passed += 1
                continue
            failed += 1
            print("%s: the README shows (-) what the commands no longer print (+):" % where)
            sys.stdout.writelines(difflib.unified_diff([line + "\n" for line in old],
                                                       [line + "\n" for line in lines], "README", "run", n=1))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if replacements:
        for block, lines in sorted(replacements, key=lambda item: -item[0].start):
            text = text[:block.start] + "".join(line + "\n" for line in lines) + text[block.end:]
        with open(args.readme, "w", encoding="utf-8") as file:
            file.write(text)
    if failed and not args.update:
        print("update the README with: %s --update %s" % (os.path.relpath(__file__), args.readme))
    print("readme outputs: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
