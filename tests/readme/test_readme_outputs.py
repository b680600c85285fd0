"""The README check's own rules: which lines a block keeps, what a mask
forgives and keeps on update, and a small README checked and updated end to
end. VORLAN_BUILD is the build folder (the check makes its sample with the
build's `vorlan`)."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import readme_outputs  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "readme_outputs.py")
TEN = ["line %d" % n for n in range(1, 11)]


@pytest.mark.parametrize("keep, shown", [
    (None, TEN),
    (["1-3"], TEN[:3] + ["..."]),
    (["1-2", "$-1-$"], TEN[:2] + ["..."] + TEN[-2:]),
    (["4-"], ["..."] + TEN[3:]),
    (["$"], ["..."] + TEN[-1:]),
    (["2", "5-6"], ["...", TEN[1], "..."] + TEN[4:6] + ["..."]),
    (["none"], ["..."]),
    (["1-20"], TEN),
])
def test_kept_lines(keep, shown):
    assert readme_outputs.kept(TEN, keep) == shown


def test_an_update_keeps_the_readme_text_of_masked_parts_only_where_the_rest_agrees():
    masks = [readme_outputs.re.compile(r"port \d+")]
    old = ["listening on port 8808", "received 10"]
    new = ["listening on port 40123", "received 12", "done"]
    assert readme_outputs.keep_masked_text(new, old, masks) == ["listening on port 8808", "received 12", "done"]


def run_check(readme, *options):
    return subprocess.run([sys.executable, SCRIPT, "--build", os.environ["VORLAN_BUILD"], *options, str(readme)],
                          capture_output=True, text=True, timeout=120)


README = """# A tool

<!-- output:
$ echo one; echo two; echo three
keep: 1 $
$ echo "port $((40000 + 7))"
mask: port \\d+
-->
```
$ echo one; echo two; echo three
one
...
three
$ echo "port $((40000 + 7))"
port 8808
```

<!-- output: run: cat {above} -->
```
not this
```

<!-- output: cat build/sample.pcap | head -c 4 | od -An -tx1 -->
```
 d4 c3 b2 a1
```

<!-- output:
needs: no-such-program-anywhere
run: no-such-program-anywhere
-->
```
anything
```
"""


@pytest.mark.skipif("VORLAN_BUILD" not in os.environ, reason="needs VORLAN_BUILD, the build folder")
def test_a_readme_is_checked_and_updated(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(README)
    # The second block shows the wrong text: its command prints the block above it.
    check = run_check(readme)
    assert check.returncode == 1, check.stdout
    assert "readme outputs: 2 passed, 1 failed, 1 skipped" in check.stdout
    assert "-not this" in check.stdout and "+$ echo one; echo two; echo three" in check.stdout

    update = run_check(readme, "--update")
    assert update.returncode == 0, update.stdout
    text = readme.read_text()
    assert "port 8808" in text, "a masked part keeps the README's text"
    assert "not this" not in text and text.count("$ echo one; echo two; echo three\n") == 3
    assert run_check(readme).returncode == 0

    # A setup that fails is a failure, whatever the block shows.
    readme.write_text("<!-- output:\nsetup: false\n$ echo fine\n-->\n```\n$ echo fine\nfine\n```\n")
    check = run_check(readme)
    assert check.returncode == 1 and "setup failed: false" in check.stdout, check.stdout
