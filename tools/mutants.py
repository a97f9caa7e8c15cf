#!/usr/bin/env python3
"""Mutation testing of the two modules (sb_pei/, cmos_error_prompt/): how many small faults the
host tests notice.

Each mutant is one change of one token: a relational, logical, arithmetic or bitwise operator, an
integer constant (n -> n+1, n -> n-1, 0 <-> 1; a hexadecimal constant, a mask or a register value,
also with its lowest set bit cleared and with its lowest clear bit set), a boolean constant, a
removed call statement. It is applied to a scratch copy of the tree (one per worker), the copy is
rebuilt incrementally without the sanitizers, and the tests run until the first failure: the
golden traces on the host engine, then on the image engine, then the GoogleTest suite (a mutant
in a header meets the images on the unchanged simulator and the interface test first). A mutant
that survives is built and tested once more as the project's default build builds it (the
sanitizers, warnings as errors): that build may refuse it (then it does not build) or its tests
may catch it (killed). A mutant is killed (a test failed), timed out (a test ran past its bound:
counted as killed), survived, or does not build.

    tools/mutants.py                      every mutant
    tools/mutants.py --sample 60 --seed S a random sample (the same S draws the same mutants)
    tools/mutants.py --since REV          the mutants on lines changed since REV
    tools/mutants.py --list               the mutants, without running them
    tools/mutants.py --shard K/N          the K-th of N shards of what the other options choose
    tools/mutants.py merge OUT1 OUT2 ... --out DIR   the shards' results as one report and score

Results are kept in OUT/results-w*.jsonl as they come, each under the mutant and a hash of
everything that decides its fate (the modules, pi/, the simulator, the tests and golden traces,
the boards, the firmware build and the tools, this one included): a rerun skips a mutant only
while none of that changed (--rerun-all: none is skipped). OUT/report.md is the report: per file,
mutants, killed, survived, score; then every survivor. A mutant listed in
tools/mutants_equivalent.txt (with the reason it cannot change what the module does) is run like
any other and counted apart when it survives both builds; a listed one that does not, and a listed
line that matches no mutant, are reported. The score is killed / (mutants - equivalent - not
built)."""
import argparse
import hashlib
import json
import multiprocessing
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE_DIRS = ("sb_pei", "cmos_error_prompt")
EQUIVALENT_FILE = os.path.join(ROOT, "tools", "mutants_equivalent.txt")
# What decides a mutant's fate: a result stands while none of these changed.
FATE_PATHS = ("sb_pei", "cmos_error_prompt", "pi", "sim", "tests", "boards", "firmware", "cmake", "tools",
              "CMakeLists.txt")
FATE_IGNORED = ("tools/mutants_equivalent.txt",)
BOARDS = sorted(f[:-5] for f in os.listdir(os.path.join(ROOT, "boards")) if f.endswith(".toml"))
BUILD_TARGETS = ["sbsim", "host_tests", "contract_tests", "SbPei_image", "CmosErrorPrompt_image"]
IMAGE_TARGETS = ["SbPei_image", "CmosErrorPrompt_image"]
BOOT_TARGETS = ["sbsim", *IMAGE_TARGETS]  # what the golden steps need
STEP_TIMEOUT = 180  # seconds a test step may take before the mutant counts as timed out
GOLDEN_TIMEOUT = 20  # the same for one board's boot (a tenth of a second when nothing spins)

# ---- Finding mutants ------------------------------------------------------------------------

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*')
  | (?P<number>0[xX][0-9a-fA-F]+[uUlL]*|\d+[uUlL]*)
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<op><<=|>>=|->|::|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|%=|&=|\|=|\^=|[-+*/%<>=!&|^~?:;,.(){}\[\]])
""", re.S | re.X)

KEYWORDS = {"return", "if", "else", "for", "while", "do", "switch", "case", "default", "break", "continue",
            "goto", "sizeof", "const", "constexpr", "static", "inline", "typedef", "using", "namespace",
            "struct", "enum", "union", "class", "template", "typename", "auto", "extern", "volatile",
            "static_assert", "operator", "new", "delete", "this", "public", "private", "protected"}
TYPE_WORDS = {"bool", "int", "char", "void", "unsigned", "short", "long", "auto", "const", "volatile", "float", "double"}
TEMPLATE_OPENERS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "template"}

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
ARITHMETIC = {"+": "-", "-": "+", "++": "--", "--": "++", "+=": "-=", "-=": "+=", "*": "/"}
BITWISE = {"&": "|", "|": "&", "^": "|", "<<": ">>", ">>": "<<", "&=": "|=", "|=": "&=", "^=": "|="}


class Tok:
    def __init__(self, kind, text, start):
        self.kind, self.text, self.start = kind, text, start

    @property
    def end(self):
        return self.start + len(self.text)


def tokenize(text):
    # Preprocessor lines are not code to mutate: blanked, offsets kept.
    masked = re.sub(r"^[ \t]*#[^\n]*", lambda m: " " * len(m.group(0)), text, flags=re.M)
    toks, at = [], 0
    while at < len(masked):
        m = TOKEN.match(masked, at)
        if not m:
            at += 1
            continue
        kind = m.lastgroup
        if kind not in ("space", "comment"):
            toks.append(Tok(kind, m.group(0), m.start()))
        at = m.end()
    return toks


def type_like(tok):
    """A type name in this code base: all capitals (UINT32, EFI_GUID, SB_CONFIG) or a C++ type word."""
    return tok is not None and tok.kind == "ident" and (tok.text in TYPE_WORDS or re.fullmatch(r"[A-Z][A-Z0-9_]+", tok.text))


def operand_end(tok):
    return tok is not None and (tok.kind in ("number", "ident") and tok.text not in KEYWORDS or tok.text in (")", "]"))


def operand_start(tok):
    return tok is not None and (tok.kind in ("number", "ident") and tok.text not in ("sizeof",) or
                                tok.text in ("(", "~", "!", "-", "*"))


def skipped_spans(toks):
    """Token index ranges never mutated: static_assert(...), the angle brackets of casts and
    templates, the brackets of array declarations, attributes."""
    skip = set()

    def balanced(i, open_, close):
        depth = 0
        for j in range(i, len(toks)):
            if toks[j].text == open_:
                depth += 1
            elif toks[j].text == close:
                depth -= 1
                if depth == 0:
                    return j
        return len(toks) - 1

    for i, t in enumerate(toks):
        if t.text in ("static_assert", "__attribute__", "alignas") and i + 1 < len(toks) and toks[i + 1].text == "(":
            skip.update(range(i, balanced(i + 1, "(", ")") + 1))
        elif t.text in TEMPLATE_OPENERS and i + 1 < len(toks) and toks[i + 1].text == "<":
            skip.update(range(i, balanced(i + 1, "<", ">") + 1))
        elif t.text == "[" and i >= 2 and toks[i - 1].kind == "ident" and (type_like(toks[i - 2]) or toks[i - 2].text == "*"):
            skip.update(range(i, balanced(i, "[", "]") + 1))  # an array's size in its declaration
    return skip


def statement_calls(toks, skip):
    """Statements that are a call and nothing else (`Foo(...);`, `(*Ps)->Bar(...);`): the whole
    statement, to be removed."""
    out, depth = [], 0
    for i, t in enumerate(toks):
        if t.text == "(":
            depth += 1
        elif t.text == ")":
            depth -= 1
        if depth != 0 or i in skip:
            continue
        prev = toks[i - 1].text if i else ";"
        if prev not in (";", "{", "}", ")", "else") or t.text in KEYWORDS or t.kind == "number" or type_like(t):
            continue  # not the start of a statement, or a declaration (types are in capitals here)
        if prev == ")" and not closes_condition(toks, i - 1):
            continue
        # The statement: to the next ';' at this depth, with a call in it and no assignment.
        j, d, has_call = i, 0, False
        while j < len(toks):
            x = toks[j].text
            if x in ("(", "[", "{"):
                d += 1
                has_call = has_call or (x == "(" and j > i)
            elif x in (")", "]", "}"):
                d -= 1
                if d < 0:
                    break
            elif x == ";" and d == 0:
                break
            elif d == 0 and (x in ("=", "+=", "-=", "|=", "&=", "^=", "<<=", ">>=", "?", "return") or
                             (toks[j].kind == "ident" and j > i and toks[j - 1].kind == "ident")):
                has_call = False  # an assignment or a declaration, not a bare call
                break
            j += 1
        if j < len(toks) and toks[j].text == ";" and has_call and toks[j - 1].text == ")" and t.kind in ("ident", "op"):
            if t.kind == "op" and t.text != "(":
                continue
            out.append((i, j))
    return out


def closes_condition(toks, i):
    """The ')' at i closes the condition of an if, for or while."""
    depth = 0
    for j in range(i, -1, -1):
        if toks[j].text == ")":
            depth += 1
        elif toks[j].text == "(":
            depth -= 1
            if depth == 0:
                return j > 0 and toks[j - 1].text in ("if", "for", "while")
    return False


def number_mutations(text):
    """The constants a constant may become: 0 <-> 1, else n+1 and n-1; a hexadecimal one (a mask
    or a register value here) also with its lowest set bit cleared and its lowest clear bit set
    (within the digits written: 0xFF has none clear). Each new value once, in that order."""
    m = re.fullmatch(r"(0[xX])?([0-9a-fA-F]+)([uUlL]*)", text)
    prefix, digits, suffix = m.groups()
    value = int(digits, 16 if prefix else 10)
    values = [1 if value == 0 else 0 if value == 1 else value + 1]
    if value > 1:
        values.append(value - 1)
    if prefix:
        if value != 0:
            values.append(value & (value - 1))  # the lowest set bit cleared
        if value != (1 << 4 * len(digits)) - 1:
            values.append(value | (value + 1))  # the lowest clear bit set, within the digits written
    out = []
    for v in values:
        if v != value and v not in out:
            out.append(v)
    if prefix:
        return [f"{prefix}{v:0{len(digits)}X}{suffix}" for v in out]
    return [f"{v}{suffix}" for v in out]


def find_mutants(path):
    rel = os.path.relpath(path, ROOT)
    text = open(path).read()
    toks = tokenize(text)
    skip = skipped_spans(toks)
    mutants = []

    def add(kind, start, end, replacement):
        original = text[start:end]
        line = text.count("\n", 0, start) + 1
        line_start = text.rfind("\n", 0, start) + 1
        line_end = text.find("\n", start)
        line_text = text[line_start:line_end if line_end >= 0 else len(text)]
        mutants.append({"file": rel, "line": line, "col": start - line_start + 1, "start": start, "end": end,
                        "kind": kind, "original": original, "replacement": replacement, "line_text": line_text.strip()})

    for i, t in enumerate(toks):
        if i in skip:
            continue
        prev = toks[i - 1] if i else None
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        binary = operand_end(prev) and operand_start(nxt)
        if t.kind == "number":
            if prev is not None and prev.text == "[" and i >= 3 and type_like(toks[i - 3]):
                continue
            for replacement in number_mutations(t.text):
                add("constant", t.start, t.end, replacement)
        elif t.text in ("true", "false"):
            add("constant", t.start, t.end, "false" if t.text == "true" else "true")
        elif t.text in RELATIONAL and binary:
            add("relational", t.start, t.end, RELATIONAL[t.text])
        elif t.text in LOGICAL:
            add("logical", t.start, t.end, LOGICAL[t.text])
        elif t.text == "!" and nxt is not None and (nxt.kind == "ident" or nxt.text == "("):
            add("logical", t.start, t.end, "")
        elif t.text in ("++", "--"):
            add("arithmetic", t.start, t.end, ARITHMETIC[t.text])
        elif t.text in ("+", "-", "+=", "-=") and binary:
            add("arithmetic", t.start, t.end, ARITHMETIC[t.text])
        elif t.text == "*" and binary and not type_like(prev) and prev.text != ")":
            add("arithmetic", t.start, t.end, ARITHMETIC[t.text])
        elif t.text in ("&", "|", "^", "<<", ">>") and binary and not type_like(prev):
            add("bitwise", t.start, t.end, BITWISE[t.text])
        elif t.text in ("&=", "|=", "^="):
            add("bitwise", t.start, t.end, BITWISE[t.text])
        elif t.text == "~" and nxt is not None and operand_start(nxt):
            add("bitwise", t.start, t.end, "")
    for i, j in statement_calls(toks, skip):
        add("removed call", toks[i].start, toks[j].end, ";")

    # Which occurrence of the same change on the same line: part of the mutant's name.
    seen = {}
    for m in sorted(mutants, key=lambda m: m["start"]):
        key = (m["file"], m["line_text"], m["original"], m["replacement"])
        seen[key] = seen.get(key, 0) + 1
        m["occurrence"] = seen[key]
        m["id"] = hashlib.sha1("|".join(map(str, key + (m["occurrence"],))).encode()).hexdigest()[:16]
    return sorted(mutants, key=lambda m: m["start"])


def module_sources():
    out = []
    for d in MODULE_DIRS:
        for base, _, files in os.walk(os.path.join(ROOT, d)):
            out += [os.path.join(base, f) for f in sorted(files) if f.endswith((".cpp", ".h"))]
    return sorted(out)


def all_mutants():
    return [m for path in module_sources() for m in find_mutants(path)]


def changed_lines(rev):
    """Lines of the module sources added or changed since REV (in the files as they are now)."""
    out = subprocess.run(["git", "-C", ROOT, "diff", "-U0", rev, "--", *MODULE_DIRS], capture_output=True, text=True,
                         check=True).stdout
    lines, current = set(), None
    for line in out.splitlines():
        if line.startswith("+++ "):
            current = line[6:] if line.startswith("+++ b/") else None
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
        if m and current:
            first, count = int(m.group(1)), int(m.group(2) or 1)
            lines.update((current, n) for n in range(first, first + count))
    return lines


def load_equivalents(path=EQUIVALENT_FILE):
    """file | line (as it stands, stripped) | original -> replacement [#occurrence] | reason.
    Returns {key: (reason, line number)}."""
    out = {}
    if not os.path.exists(path):
        return out
    for number, raw in enumerate(open(path), 1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        parts = [p.strip() for p in raw.rstrip("\n").split(" | ")]
        # The line itself may hold " | ": it is what lies between the file and the last two fields.
        parts = [parts[0], " | ".join(parts[1:-2]), *parts[-2:]] if len(parts) > 4 else parts
        if len(parts) != 4 or not parts[3]:
            sys.exit(f"{path}:{number}: want 'file | line | original -> replacement | reason'")
        change = re.fullmatch(r"(.*?) -> (.*?)(?: #(\d+))?", parts[2])
        if not change:
            sys.exit(f"{path}:{number}: the change is 'original -> replacement' (or '... #2')")
        original, replacement, occurrence = change.group(1), change.group(2), int(change.group(3) or 1)
        if replacement == "(removed)":
            replacement = ";" if original.endswith(";") else ""
        out[(parts[0], parts[1], original, replacement, occurrence)] = (parts[3], number)
    return out


def equivalent_key(m):
    return (m["file"], m["line_text"], m["original"], m["replacement"], m["occurrence"])


def equivalent_reason(m, equivalents):
    found = equivalents.get(equivalent_key(m))
    return found[0] if found else None


def stale_equivalents(mutants, equivalents):
    """Listed equivalents that match no mutant of the sources as they stand (the line changed,
    or the change is no longer made): (line number, key), in the list's order."""
    keys = {equivalent_key(m) for m in mutants}
    return sorted((number, key) for key, (_, number) in equivalents.items() if key not in keys)


# ---- Running them ---------------------------------------------------------------------------

def tracked_files():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                         capture_output=True, check=True).stdout
    return [f for f in out.decode().split("\0") if f]


def fate_hash(root=ROOT, files=None):
    """A hash of every file that decides a mutant's fate, as the tree stands (unmutated)."""
    h = hashlib.sha256()
    for rel in sorted(files if files is not None else tracked_files()):
        if rel in FATE_IGNORED or not any(rel == p or rel.startswith(p + "/") for p in FATE_PATHS):
            continue
        path = os.path.join(root, rel)
        if os.path.islink(path):
            data = b"link:" + os.readlink(path).encode()
        elif os.path.isfile(path):
            data = open(path, "rb").read()
        else:
            continue
        h.update(rel.encode() + b"\0" + hashlib.sha256(data).digest())
    return h.hexdigest()[:16]


def sync_tree(dst):
    """A copy of the tree as it stands (new and changed files copied, symbolic links kept)."""
    for rel in tracked_files():
        src, out = os.path.join(ROOT, rel), os.path.join(dst, rel)
        if not os.path.lexists(src):
            continue
        os.makedirs(os.path.dirname(out), exist_ok=True)
        if os.path.islink(src):
            if not os.path.islink(out) or os.readlink(out) != os.readlink(src):
                if os.path.lexists(out):
                    os.remove(out)
                os.symlink(os.readlink(src), out)
        elif not os.path.exists(out) or open(src, "rb").read() != open(out, "rb").read():
            # A fresh modification time: a file put back after a run that was stopped mid-mutant
            # is older than the objects built from the mutant, and would not be rebuilt.
            if os.path.lexists(out):
                os.remove(out)
            shutil.copyfile(src, out)
            shutil.copymode(src, out)


class OutOfTime(Exception):
    """The run's time budget ended in the middle of a mutant: it has no result."""


def kill_group(proc):
    """The process and everything it started (a test step's shell and its sbsim, say)."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    proc.communicate()


def run(cmd, cwd, env=None, timeout=STEP_TIMEOUT, deadline=None):
    """Runs a step in a process group of its own: (exit code, the output's tail), or (None,
    "timed out") once it ran past `timeout`, when its whole group is killed. OutOfTime when the
    run's deadline comes first."""
    left = deadline - time.time() if deadline else None
    if left is not None and left <= 0:
        raise OutOfTime()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout if left is None else min(timeout, left))
        return proc.returncode, out[-2000:]
    except subprocess.TimeoutExpired:
        kill_group(proc)
        if deadline and time.time() >= deadline:
            raise OutOfTime()
        return None, "timed out"
    except BaseException:
        kill_group(proc)  # stopped from outside: leave nothing running
        raise


def build_env(out):
    env = dict(os.environ)
    env.pop("SB_IMAGE_DIR", None)
    if shutil.which("ccache"):
        # One cache for every worker's copy: paths below OUT are hashed relative to it.
        env.update(CCACHE_DIR=os.path.join(out, "ccache"), CCACHE_BASEDIR=out, CCACHE_NOHASHDIR="1")
    return env


class WorkerError(Exception):
    """A worker cannot go on: its tree does not configure or build unmutated."""


def configure_and_build(out, index, src, kind, jobs):
    """One of a worker's two builds of its tree: "plain" (no sanitizers, warnings as warnings: a
    mutant that only draws a warning, a value now unused, is a change of behaviour to test) or
    "default" (the project's default build: sanitizers, warnings as errors). The size limit is
    lifted in both: a changed constant may move a byte, which is no test."""
    build = os.path.join(out, f"w{index}", "build" if kind == "plain" else "build-default")
    env = build_env(out)
    launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    options = ["-DSB_SANITIZE=OFF", "-DSB_WERROR=OFF", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] if kind == "plain" else []
    # Configured every time: a cheap step, and options may have changed.
    code, log = run(["cmake", "-S", src, "-B", build, "-G", "Ninja", *options, "-DSB_PEI_MAX_BYTES=1000000", *launcher],
                    ROOT, env, 600)
    if code != 0:
        raise WorkerError(f"configuring worker {index}'s {kind} build failed:\n{log}")
    code, log = run(["cmake", "--build", build, "-j", str(jobs), "--target", *BUILD_TARGETS], ROOT, env, 3600)
    if code != 0:
        raise WorkerError(f"the unmutated tree does not build in worker {index} ({kind} build):\n{log}")
    return build


class Worker:
    def __init__(self, out, index, jobs):
        self.out, self.index, self.jobs = out, index, jobs
        self.src = os.path.join(out, f"w{index}", "src")
        sync_tree(self.src)
        self.build = configure_and_build(out, index, self.src, "plain", jobs)
        self.default_build = None  # made when a mutant first survives the plain build


def setup_worker(out, index, jobs):
    return Worker(out, index, jobs)


def golden_image_command(sbsim, src, build, board):
    folded = os.path.join(build, f"mutant-{board}.jsonl")
    return ["sh", "-c", f"'{sbsim}' --engine image '{src}/boards/{board}.toml' --folded-trace '{folded}' >/dev/null; "
                        f"'{sbsim}' diff '{src}/tests/golden/{board}.jsonl' '{folded}'"]


def test_steps(src, build, header=False):
    """The steps, cheapest and most telling first: (name, the targets to build, None) or (name,
    None, the command to run). The test suite is built late: a mutant in a header rebuilds much of
    it, which the golden steps often make needless.

    A mutant in a header goes first to the images alone, booted on the simulator as it was built
    before the change: the board and the platform a module meets were not compiled with the
    module's header, and a simulator rebuilt with it would change with the module (a GUID, a
    signature). Then the interface constants against the EDK2 package declaration (one small
    test), then everything as for any mutant."""
    sbsim = os.path.join(build, "sbsim")
    if header:
        yield "build images", IMAGE_TARGETS, None
        for b in BOARDS:
            yield f"golden.{b} (image engine, simulator unchanged)", None, golden_image_command(sbsim, src, build, b)
        yield "build contract_tests", ["contract_tests"], None
        yield "contract_tests", None, [os.path.join(build, "tests", "contract_tests"), "--gtest_brief=1"]
    yield "build", BOOT_TARGETS, None
    for b in BOARDS:
        yield f"golden.{b}", None, [sbsim, "diff", os.path.join(src, "tests", "golden", b + ".jsonl"),
                                    os.path.join(src, "boards", b + ".toml")]
    for b in BOARDS:
        yield f"golden.{b} (image engine)", None, golden_image_command(sbsim, src, build, b)
    yield "build host_tests", ["host_tests"], None
    yield "host_tests", None, [os.path.join(build, "tests", "host_tests"), "--gtest_fail_fast", "--gtest_brief=1"]


def build_targets(build, targets, src, env, deadline):
    return run(["cmake", "--build", build, "-j", "1", "--target", *targets], src, env, 1800, deadline)


def first_error(log):
    for line in log.splitlines():
        if re.search(r"\berror\b:", line):
            return line.strip()[:200]
    return ""


def apply_and_test(m, src, build, env, deadline=None):
    path = os.path.join(src, m["file"])
    original = open(path).read()
    if original[m["start"]:m["end"]] != m["original"]:
        return "skipped", "the source moved under the mutant"
    header = m["file"].endswith(".h")
    if header:
        # The simulator as the unchanged tree builds it (the last mutant may still be in it).
        code, log = build_targets(build, BOOT_TARGETS, src, env, deadline)
        if code != 0:
            raise WorkerError(f"the unmutated tree does not build in {build}:\n{log}")
    try:
        open(path, "w").write(original[:m["start"]] + m["replacement"] + original[m["end"]:])
        for name, targets, cmd in test_steps(src, build, header):
            if targets:
                code, log = build_targets(build, targets, src, env, deadline)
                if code != 0:
                    return "does not build", first_error(log)
                continue
            code, log = run(cmd, build, env, GOLDEN_TIMEOUT if name.startswith("golden") else STEP_TIMEOUT, deadline)
            if code is None:
                return "timed out", name
            if code != 0:
                return "killed", name
        return "survived", ""
    finally:
        open(path, "w").write(original)


def try_mutant(m, w, env, deadline=None):
    """The plain build first; a survivor again on the default build, which may refuse it or
    catch it."""
    status, detail = apply_and_test(m, w.src, w.build, env, deadline)
    if status != "survived":
        return status, detail
    if w.default_build is None:
        # Made once per worker, with every core (a setup step like the plain build, outside the
        # mutant's time); the source is whole again here.
        w.default_build = configure_and_build(w.out, w.index, w.src, "default", os.cpu_count() or 1)
    status, detail = apply_and_test(m, w.src, w.default_build, env, deadline)
    return status, (f"default build: {detail}" if detail else "")


def stop_cleanly(*_):
    """SIGTERM/SIGINT: raise, so that the mutant being tried is put back before the process ends."""
    raise SystemExit(1)


def worker(index, out, queue, results, deadline, jobs, fate):
    signal.signal(signal.SIGTERM, stop_cleanly)
    try:
        w = setup_worker(out, index, jobs)
    except WorkerError as e:
        results.put({"worker_error": str(e)})
        return
    env = build_env(out)
    with open(os.path.join(out, f"results-w{index}.jsonl"), "a") as log:
        while True:
            if deadline and time.time() > deadline:
                return
            try:
                m = queue.get_nowait()
            except Exception:
                return
            started = time.time()
            try:
                status, detail = try_mutant(m, w, env, deadline)
            except OutOfTime:
                return
            except WorkerError as e:
                results.put({"worker_error": str(e)})
                return
            except Exception:  # a fault of this tool: the run must not go on as if the mutant ran
                results.put({"worker_error": f"worker {index} failed on {m['file']}:{m['line']}:\n"
                                             f"{traceback.format_exc()}"})
                return
            record = {k: m[k] for k in ("id", "file", "line", "col", "kind", "original", "replacement", "line_text",
                                         "occurrence")}
            record.update(status=status, detail=detail, seconds=round(time.time() - started, 1), fate=fate,
                          at=round(time.time(), 3))
            log.write(json.dumps(record) + "\n")
            log.flush()
            results.put(record)


def read_results(out, fate):
    """The newest result of each mutant run on a tree whose fate hash is `fate`; a skipped one is
    no result (it is tried again)."""
    done = {}
    for name in sorted(os.listdir(out)) if os.path.isdir(out) else []:
        if name.startswith("results") and name.endswith(".jsonl"):
            for line in open(os.path.join(out, name)):
                if not line.strip():
                    continue
                r = json.loads(line)
                if r.get("fate") != fate or r["status"] == "skipped":
                    continue
                if r["id"] not in done or r.get("at", 0) >= done[r["id"]].get("at", 0):
                    done[r["id"]] = r
    return done


# ---- The report -----------------------------------------------------------------------------

def report(mutants, done, equivalents, stale=()):
    rows, survivors, wrongly_listed = {}, [], []
    for m in mutants:
        r = done.get(m["id"])
        if r is None:
            continue
        reason = equivalent_reason(m, equivalents)
        row = rows.setdefault(m["file"], dict(mutants=0, killed=0, timed_out=0, survived=0, not_built=0, equivalent=0))
        row["mutants"] += 1
        status = r["status"]
        if reason is not None and status != "survived":
            wrongly_listed.append((m, r))
        if status == "survived" and reason is not None:
            row["equivalent"] += 1
        elif status == "killed":
            row["killed"] += 1
        elif status == "timed out":
            row["timed_out"] += 1
        elif status == "does not build":
            row["not_built"] += 1
        else:
            row["survived"] += 1
            survivors.append((m, r))
    lines = ["# Mutation testing of sb_pei/ and cmos_error_prompt/", "",
             "Score: killed (timed out included) / (mutants - equivalent - not built).", "",
             "| file | mutants | killed | timed out | survived | not built | equivalent | score |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]

    def score(r):
        scored = r["mutants"] - r["equivalent"] - r["not_built"]
        return f"{100 * (r['killed'] + r['timed_out']) / scored:.1f} %" if scored else "-"

    total = dict(mutants=0, killed=0, timed_out=0, survived=0, not_built=0, equivalent=0)
    by_module = {d: dict(total) for d in MODULE_DIRS}
    for f in sorted(rows):
        r = rows[f]
        lines.append(f"| {f} | {r['mutants']} | {r['killed']} | {r['timed_out']} | {r['survived']} | {r['not_built']} | "
                     f"{r['equivalent']} | {score(r)} |")
        for k in total:
            total[k] += r[k]
            by_module[f.split("/")[0]][k] += r[k]
    for name, r in list(by_module.items()) + [("all", total)]:
        lines.append(f"| **{name}** | {r['mutants']} | {r['killed']} | {r['timed_out']} | {r['survived']} | "
                     f"{r['not_built']} | {r['equivalent']} | {score(r)} |")

    def change(m):
        return f"`{m['original']}` -> `{m['replacement'] or '(removed)'}`"

    lines += ["", f"## Survivors ({len(survivors)})", ""]
    for m, r in survivors:
        lines.append(f"- {m['file']}:{m['line']}:{m['col']} ({m['kind']}) {change(m)} in `{m['line_text']}`: {r['status']}")
    if wrongly_listed:
        lines += ["", f"## Listed as equivalent, but the tests or the default build tell them apart ({len(wrongly_listed)})", ""]
        for m, r in wrongly_listed:
            lines.append(f"- {m['file']}:{m['line']}:{m['col']} {change(m)} in `{m['line_text']}`: {r['status']}"
                         f"{' (' + r['detail'] + ')' if r['detail'] else ''}")
    if stale:
        lines += ["", f"## Listed equivalents that match no mutant ({len(stale)})", ""]
        for number, key in stale:
            lines.append(f"- {os.path.relpath(EQUIVALENT_FILE, ROOT)}:{number}: {key[0]} | {key[1]} | {key[2]} -> {key[3]}")
    return "\n".join(lines) + "\n", survivors, total


def run_workers(todo, args, fate):
    """Runs the mutants on the workers; the errors of workers that could not go on (each with its
    message), or that died."""
    deadline = time.time() + args.max_seconds if args.max_seconds else None
    queue, results = multiprocessing.Queue(), multiprocessing.Queue()
    for m in todo:
        queue.put(m)
    time.sleep(0.1)
    procs = [multiprocessing.Process(target=worker, args=(i, args.out, queue, results, deadline, 1, fate))
             for i in range(args.workers)]
    for p in procs:
        p.start()
    signal.signal(signal.SIGTERM, stop_cleanly)
    count, errors = 0, []
    try:
        while any(p.is_alive() for p in procs) or not results.empty():
            try:
                r = results.get(timeout=1)
            except Exception:
                continue
            if "worker_error" in r:
                errors.append(r["worker_error"])
                print(f"mutants: {r['worker_error']}", flush=True)
                break  # a run with a broken worker has no score to give: stop the others too
            count += 1
            print(f"[{count}/{len(todo)}] {r['status']:<14} {r['file']}:{r['line']} {r['original']!r} -> "
                  f"{r['replacement']!r} ({r['seconds']} s{', ' + r['detail'] if r['detail'] else ''})", flush=True)
    finally:
        stopped = [p.is_alive() for p in procs]
        for p, stop in zip(procs, stopped):
            if stop:
                p.terminate()  # each worker puts its mutant back before it ends
        for p in procs:
            p.join()
        queue.cancel_join_thread()  # mutants never taken must not keep this process alive
    for i, (p, stop) in enumerate(zip(procs, stopped)):
        if p.exitcode != 0 and not stop:
            errors.append(f"worker {i} died (exit code {p.exitcode})")
    return errors


def parse_shard(text):
    """"K/N" (1 <= K <= N) as (K, N); None for none."""
    if text is None:
        return None
    found = re.fullmatch(r"(\d+)/(\d+)", text.strip())
    if not found or not 1 <= int(found.group(1)) <= int(found.group(2)):
        raise argparse.ArgumentTypeError(f"a shard is K/N with 1 <= K <= N, not {text!r}")
    return int(found.group(1)), int(found.group(2))


def shard_from_env(env=os.environ):
    """The shard a CI job matrix gives this job (CI_NODE_INDEX of CI_NODE_TOTAL, 1-based)."""
    index, total = env.get("CI_NODE_INDEX"), env.get("CI_NODE_TOTAL")
    return parse_shard(f"{index}/{total}") if index and total else None


def choose(mutants, args):
    """The mutants these options choose, in a fixed order: the files, the lines changed, the
    sample, then the shard (every N-th from the K-th: the shards of one choice split it whole
    and without overlap, and each gets its share of every file)."""
    chosen = mutants
    if args.files:
        wanted = [os.path.relpath(os.path.abspath(f), ROOT) for f in args.files]
        chosen = [m for m in chosen if any(m["file"] == w or m["file"].startswith(w.rstrip("/") + "/") for w in wanted)]
    if args.since:
        lines = changed_lines(args.since)
        chosen = [m for m in chosen if (m["file"], m["line"]) in lines]
    if args.sample is not None:
        rng = random.Random(args.seed)
        chosen = rng.sample(chosen, min(args.sample, len(chosen)))
    if args.shard:
        k, n = args.shard
        chosen = chosen[k - 1::n]
    return chosen


def selection_options(ap):
    ap.add_argument("--sample", type=int, help="run N mutants drawn at random")
    ap.add_argument("--seed", default="0", help="what draws the sample (a commit, say)")
    ap.add_argument("--since", help="only the mutants on lines changed since this git revision")
    ap.add_argument("--files", nargs="+", metavar="PATH", help="only the mutants in these files (or directories)")
    ap.add_argument("--fail-on-survivor", action="store_true", help="exit 1 when a mutant not listed as equivalent survives")
    ap.add_argument("--min-score", type=float, metavar="PERCENT",
                    help="exit 1 when the score of the mutants run falls below PERCENT")


def merge_results(dirs, fate):
    """The newest result of each mutant over the shards' result directories."""
    done = {}
    for d in dirs:
        for key, r in read_results(d, fate).items():
            if key not in done or r.get("at", 0) >= done[key].get("at", 0):
                done[key] = r
    return done


def finish(chosen, done, equivalents, stale, out, args, started, errors=()):
    """Writes and prints the report; the exit status."""
    text, survivors, total = report(chosen, done, equivalents, stale)
    open(os.path.join(out, "report.md"), "w").write(text)
    print(text)
    print(f"mutants: {time.time() - started:.0f} s; report in {os.path.join(out, 'report.md')}")
    missing = [m for m in chosen if m["id"] not in done]
    if errors:
        print(f"mutants: the run is incomplete: {len(errors)} worker error(s), {len(missing)} chosen mutant(s) not run",
              file=sys.stderr)
        for e in errors:
            print(f"mutants: {e}", file=sys.stderr)
        return 2
    if missing:
        print(f"mutants: {len(missing)} chosen mutant(s) not run (time budget)")
    if args.fail_on_survivor and survivors:
        return 1
    scored = total["mutants"] - total["equivalent"] - total["not_built"]
    if args.min_score is not None and scored and 100 * (total["killed"] + total["timed_out"]) / scored < args.min_score:
        print(f"mutants: the score is below {args.min_score} %")
        return 1
    return 0


def merge_main(argv):
    ap = argparse.ArgumentParser(prog="mutants.py merge",
                                 description="Joins the results of a run's shards (each its --out) into one report "
                                             "and score: give the options the shards were run with, less --shard.")
    ap.add_argument("dirs", nargs="+", metavar="SHARD_OUT")
    ap.add_argument("--out", required=True, help="where the joined results and report go")
    selection_options(ap)
    args = ap.parse_args(argv)
    args.shard = None
    started = time.time()
    mutants = all_mutants()
    equivalents = load_equivalents()
    chosen = choose(mutants, args)
    fate = fate_hash()
    done = merge_results(args.dirs, fate)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results-merged.jsonl"), "w") as f:
        for m in chosen:
            if m["id"] in done:
                f.write(json.dumps(done[m["id"]]) + "\n")
    print(f"mutants: {sum(m['id'] in done for m in chosen)} of {len(chosen)} chosen mutant(s) have a result in "
          f"{len(args.dirs)} shard(s) (fate {fate})", flush=True)
    return finish(chosen, done, equivalents, stale_equivalents(mutants, equivalents), args.out, args, started)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["merge"]:
        return merge_main(argv[1:])
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    selection_options(ap)
    ap.add_argument("--shard", type=parse_shard, metavar="K/N",
                    help="run only the K-th of N shards of the chosen mutants (default: CI_NODE_INDEX/CI_NODE_TOTAL "
                         "when both are set)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--max-seconds", type=float,
                    help="stop after this long (the workers' first build not counted); a mutant cut short has no result")
    ap.add_argument("--out", default=os.path.join(ROOT, "build-mutants"))
    ap.add_argument("--list", action="store_true", help="print the mutants and stop")
    ap.add_argument("--rerun-all", action="store_true", help="run every chosen mutant again, whatever results are kept")
    args = ap.parse_args(argv)
    args.out = os.path.abspath(args.out)  # ccache wants an absolute base directory
    if args.shard is None:
        args.shard = shard_from_env()

    mutants = all_mutants()
    equivalents = load_equivalents()
    stale = stale_equivalents(mutants, equivalents)
    for number, key in stale:
        print(f"mutants: {os.path.relpath(EQUIVALENT_FILE, ROOT)}:{number} matches no mutant: {key[0]} | {key[1]} | "
              f"{key[2]} -> {key[3]}", flush=True)
    chosen = choose(mutants, args)
    if args.list:
        for m in chosen:
            print(f"{m['file']}:{m['line']}:{m['col']} {m['kind']}: {m['original']!r} -> {m['replacement']!r}"
                  f"{'  [listed as equivalent]' if equivalent_reason(m, equivalents) else ''}")
        print(f"{len(chosen)} mutant(s) of {len(mutants)}", file=sys.stderr)
        return 0

    os.makedirs(args.out, exist_ok=True)
    fate = fate_hash()
    done = {} if args.rerun_all else read_results(args.out, fate)
    todo = [m for m in chosen if m["id"] not in done]
    shard = f" (shard {args.shard[0]}/{args.shard[1]})" if args.shard else ""
    print(f"mutants: {len(chosen)} chosen of {len(mutants)}{shard}, {len(chosen) - len(todo)} with a result on this "
          f"tree (fate {fate}), {len(todo)} to run on {args.workers} worker(s)", flush=True)
    started = time.time()
    errors = []
    if todo:
        try:
            # The first worker's build fills the compiler cache the others then read.
            setup_worker(args.out, 0, os.cpu_count() or 1)
        except WorkerError as e:
            print(f"mutants: {e}", file=sys.stderr)
            return 2
        print(f"mutants: workers ready after {time.time() - started:.0f} s", flush=True)
        errors = run_workers(todo, args, fate)
    done = read_results(args.out, fate)
    if args.rerun_all:
        done = {k: r for k, r in done.items() if r.get("at", 0) >= started}
    return finish(chosen, done, equivalents, stale, args.out, args, started, errors)


if __name__ == "__main__":
    sys.exit(main())
