"""The user guide's examples, run: every command and code block of README.md's user guide runs
here against the stand-in services and the offline voices, on small generated videos, and
where the README shows output the output is compared, so the README cannot drift from the
tool without a failing test.

How a block is taken:
- ```sh: each command is run (``python -m kestro_core ...`` through a launcher that routes
  the services to the stand-ins); ```python: run in this process with the same routing;
  ```json: the segments file of the examples;
- a plain block that starts with "$ command" is that command and what it prints; a plain
  block after ``<!-- readme-test: output -->`` is what the command block before it printed;
- a block after ``<!-- readme-test: skip: why -->`` is not run here (the reason is listed in
  the test report); ``<!-- readme-test: exit: N -->`` says the exit status to expect.

Printed output is compared line by line in order, with numbers and the machine's own paths
left out: the lines the README shows must all be printed, in that order.
"""

import contextlib
import io
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
MARK = re.compile(r"<!-- readme-test: (\w+)(?:: (.*?))? -->")
HAVE_TOOLS = all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng", "wget"))

# routes the fixed https origins to the stand-in (argv[1]) and cuts the poll sleeps, then runs
# the command line with the remaining arguments
LAUNCHER = textwrap.dedent("""\
    import sys, types
    sys.path.insert(0, {root!r})
    from demo.standin import RoutedRequests, ShortSleepTime
    import kestro_core.kestro_core as kc
    kc.requests = RoutedRequests(types.SimpleNamespace(origin=sys.argv[1]))
    kc.time = ShortSleepTime(long=3, short=0)
    from kestro_core.cli.main import main
    sys.exit(main(sys.argv[2:]))
""")

# what "broken.json" must hold for the check's example
BROKEN = [
    {"Start": "00:00:01", "end": "00:00:04", "voiceover": "One."},
    {"start": "00:00:10", "end": 18, "voiceover": "Two."},
    {"start": "00:00:27.5", "end": "00:00:21", "voiceover": "Three."},
    {"start": "00:00:30", "end": "00:00:33", "voiceover": "  "},
    {"start": ".5", "end": "00:00:61", "voiceover": "Five."},
]


# the plan's examples: a narration longer than its range, and a range longer than its narration
# whose start lies 0.8 s after a keyframe
RECAP = [
    {
        "start": "00:00:01.5",
        "end": "00:00:03.000",
        "voiceover": "A stranger walks into the quiet town at dawn, carrying nothing at all.",
    },
    {"start": "6.8", "end": "9.6", "voiceover": "Nobody expects what happens next."},
]
FRAMED = [dict(RECAP[0], sound="both"), dict(RECAP[1], frame=1.5)]


@dataclass
class Block:
    line: int  # of the opening fence
    lang: str
    text: str
    mark: str | None
    why: str | None

    @property
    def name(self) -> str:
        return f"README.md:{self.line}"


def user_guide_blocks() -> list[Block]:
    lines = README.read_text(encoding="utf-8").splitlines()
    begin = lines.index("# User guide")
    end = lines.index("# For contributors")
    blocks, i = [], begin
    while i < end:
        if lines[i].startswith("```"):
            j = lines.index("```", i + 1)
            m = MARK.fullmatch(lines[i - 1].strip()) if i else None
            blocks.append(
                Block(
                    i + 1,
                    lines[i][3:].strip(),
                    "\n".join(lines[i + 1 : j]),
                    m.group(1) if m else None,
                    m.group(2) if m else None,
                )
            )
            i = j
        i += 1
    return blocks


BLOCKS = user_guide_blocks()
SESSION: dict[str, object] = {"__name__": "readme"}


def normalized(text: str) -> list[str]:
    """Lines with numbers and paths left out, blank lines dropped."""
    out = []
    for line in text.splitlines():
        line = re.sub(r"(/[^\s'\",:]+)+", "<path>", line)
        line = re.sub(r"\d+(\.\d+)?", "#", line)
        line = " ".join(line.split())
        if line:
            out.append(line)
    return out


def shows(expected: str, printed: str) -> list[str]:
    """The README's lines (an "..." line stands for any lines) not printed in their order."""
    have = normalized(printed)
    missing, at = [], 0
    for line in normalized(expected):
        if line == "...":
            continue
        try:
            at = have.index(line, at) + 1
        except ValueError:
            missing.append(line)
    return missing


def commands(text: str) -> list[str]:
    """The commands of a shell block: continuation lines joined, comments dropped."""
    joined = text.replace("\\\n", " ")
    found = []
    for line in joined.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            found.append(line.split(" # ")[0].split("    #")[0].strip())
    return found


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """A directory like the user's: the videos, the segments files of the examples, an
    output directory; the stand-in services serving the same video."""
    from demo.standin import StandIn
    from tests.support.media import make_narration, make_source_video

    work = tmp_path_factory.mktemp("readme")
    json_blocks = [b for b in BLOCKS if b.lang == "json"]
    (work / "segments.json").write_text(json_blocks[0].text + "\n", encoding="utf-8")
    for name, doc in (("broken.json", BROKEN), ("recap.json", RECAP), ("framed.json", FRAMED)):
        (work / name).write_text(json.dumps(doc), encoding="utf-8")
    video = make_source_video(work / "video.mp4", duration=240, size="160x90", fps=10)
    for name in ("film.mp4", "local-copy.mp4", "movie.mp4"):
        os.link(video, work / name)
    # the film's subtitles, beside it, for the search's example
    (work / "film.srt").write_text(
        "1\n00:00:07,000 --> 00:00:09,500\nA stranger came to town last night.\n\n"
        "2\n00:00:10,000 --> 00:00:12,000\nNobody knew his name.\n",
        encoding="utf-8",
    )
    (work / "out").mkdir()
    (work / "launch.py").write_text(LAUNCHER.format(root=str(ROOT)), encoding="utf-8")
    mp3 = Path(make_narration(work / "service.mp3", 1)).read_bytes()
    with StandIn(video, make_mp3=lambda text, voice: mp3) as standin:
        yield work, standin


def run_command(command: str, work: Path, origin: str) -> subprocess.CompletedProcess[str]:
    words = shlex.split(command)
    if words[:3] == ["python", "-m", "kestro_core"]:
        words = [sys.executable, "-P", str(work / "launch.py"), origin, *words[3:]]
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(NO_PROXY="127.0.0.1,localhost", PYTHONIOENCODING="utf-8")
    return subprocess.run(words, cwd=work, env=env, capture_output=True, text=True, timeout=600)


def test_every_block_of_the_user_guide_is_taken():
    kinds = {"sh", "python", "json", ""}
    assert [b.name for b in BLOCKS if b.lang not in kinds] == []
    assert [b.name for b in BLOCKS if b.mark not in (None, "skip", "exit", "output")] == []
    # a plain block is a command with its output, or says whose output it is
    plain = [b for b in BLOCKS if b.lang == "" and b.mark is None]
    assert [b.name for b in plain if not b.text.startswith("$ ")] == []


def test_the_run_options_table_lists_every_option():
    done = subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", "run", "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    options = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]+)", done.stdout)) - {"--help"}
    section = README.read_text(encoding="utf-8").split("All the options of `run`:")[1]
    table = section.split("\n\n")[1]
    listed = set(re.findall(r"^\| `(--[a-z-]+)", table, re.M))
    assert options == listed


@pytest.mark.skipif(not HAVE_TOOLS, reason="needs ffmpeg, ffprobe, espeak-ng and wget")
@pytest.mark.parametrize("block", BLOCKS, ids=[b.name for b in BLOCKS])
def test_readme_block(block, place, monkeypatch):
    work, standin = place
    if block.mark == "skip":
        pytest.skip(f"{block.name} is not run here: {block.why}")
    if block.lang == "json":
        json.loads(block.text)  # the segments file every example uses
        return
    if block.lang == "python":
        run_python(block, work, standin, monkeypatch)
        return
    if block.mark == "output":
        missing = shows(block.text, place_output(work))
        assert missing == [], f"{block.name}: the command before did not print these lines"
        return
    wanted = int(block.why or 0) if block.mark == "exit" else 0
    if block.lang == "sh":
        lines, shown = commands(block.text), None
    else:
        first, _, shown = block.text.partition("\n")
        lines = [first[2:]]
    for command in lines:
        done = run_command(command, work, standin.origin)
        assert done.returncode == wanted, f"{command}\n{done.stdout}\n{done.stderr}"
        (work / LAST).write_text(done.stdout + done.stderr, encoding="utf-8")
    if shown is not None:
        missing = shows(shown, done.stdout + done.stderr)
        assert missing == [], f"{block.name}: {lines[-1]} did not print these lines"


LAST = "last-output.txt"  # what the last command printed, for an output block after it


def place_output(work: Path) -> str:
    return (work / LAST).read_text(encoding="utf-8")


def run_python(block: Block, work: Path, standin, monkeypatch) -> None:
    import kestro_core.kestro_core as kc
    from demo.standin import RoutedRequests, ShortSleepTime

    monkeypatch.setattr(kc, "requests", RoutedRequests(standin))
    monkeypatch.setattr(kc, "time", ShortSleepTime(long=3, short=0))
    monkeypatch.chdir(work)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        # one session for the guide's Python, as a reader would type it
        exec(compile(block.text, block.name, "exec"), SESSION)
    (work / LAST).write_text(printed.getvalue(), encoding="utf-8")
