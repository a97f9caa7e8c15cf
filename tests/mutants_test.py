#!/usr/bin/env python3
"""The mutation tool's own parts: the mutant finder on a fixture, the equivalents list, which
results stand for a tree, and a step that runs past its time leaving nothing running."""
import importlib.util
import json
import os
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("mutants", os.path.join(HERE, "..", "tools", "mutants.py"))
mutants = importlib.util.module_from_spec(spec)
spec.loader.exec_module(mutants)

FIXTURE = os.path.join(HERE, "mutants", "fixture.cpp")


def changes(found, line_part):
    return {(m["kind"], m["original"], m["replacement"]) for m in found if line_part in m["line_text"]}


class Finder(unittest.TestCase):
    def setUp(self):
        self.found = mutants.find_mutants(FIXTURE)

    def test_constants(self):
        cases = [
            # text, its mutants: 0 <-> 1, n+1, n-1, and for hexadecimal the lowest set bit cleared and
            # the lowest clear bit set (each new value once)
            ("0x0C", ["0x0D", "0x0B", "0x08"]),
            ("0x10", ["0x11", "0x0F", "0x00"]),
            ("0x62", ["0x63", "0x61", "0x60"]),
            ("0xFF", ["0x100", "0xFE"]),  # no bit of the byte written is clear
            ("0x0F", ["0x10", "0x0E", "0x1F"]),
            ("0x00", ["0x01"]),
            ("0x01", ["0x00", "0x03"]),
            ("2", ["3", "1"]),
            ("1", ["0"]),
            ("0", ["1"]),
            ("16u", ["17u", "15u"]),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(mutants.number_mutations(text), expected)
        self.assertEqual(changes(self.found, "kMask ="), {("constant", "0x0C", r) for r in ("0x0D", "0x0B", "0x08")})

    def test_operators_and_calls(self):
        step = changes(self.found, "if (Value >= 2")
        for expected in [("relational", ">=", ">"), ("logical", "&&", "||"), ("bitwise", "&", "|"),
                         ("bitwise", "|", "&"), ("constant", "2", "3"), ("constant", "2", "1")]:
            self.assertIn(expected, step)
        self.assertIn(("arithmetic", "+=", "-="), changes(self.found, "Value += 1"))
        self.assertIn(("removed call", "WriteRegister(0x62, Value);", ";"), changes(self.found, "WriteRegister"))
        self.assertIn(("bitwise", "<<", ">>"), changes(self.found, "return static_cast"))

    def test_what_is_never_mutated(self):
        self.assertEqual(changes(self.found, "static_assert"), set())
        # The angle brackets of a cast, and an array's size in its declaration.
        self.assertFalse(any(m["original"] in ("<", ">") for m in self.found))
        self.assertNotIn(("constant", "16", "17"), changes(self.found, "Table[16]"))

    def test_names_are_stable_and_distinct(self):
        ids = [m["id"] for m in self.found]
        self.assertEqual(len(ids), len(set(ids)))
        self.assertEqual(ids, [m["id"] for m in mutants.find_mutants(FIXTURE)])


class Equivalents(unittest.TestCase):
    def write(self, text):
        f = tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False)
        f.write(text)
        f.close()
        self.addCleanup(os.remove, f.name)
        return f.name

    def test_parse(self):
        path = self.write("# comment\n"
                          "a.cpp | x = y | z; | | -> || #2 | the line holds a bar between spaces\n"
                          "b.cpp | Foo(1); | Foo(1); -> (removed) | never reached\n"
                          "c.cpp | ~Mask | ~ -> (removed) | reason\n")
        eq = mutants.load_equivalents(path)
        self.assertEqual(eq[("a.cpp", "x = y | z;", "|", "||", 2)], ("the line holds a bar between spaces", 2))
        self.assertIn(("b.cpp", "Foo(1);", "Foo(1);", ";", 1), eq)
        self.assertIn(("c.cpp", "~Mask", "~", "", 1), eq)

    def test_refuses_a_line_without_a_reason(self):
        with self.assertRaises(SystemExit):
            mutants.load_equivalents(self.write("a.cpp | x | 1 -> 0 |\n"))
        with self.assertRaises(SystemExit):
            mutants.load_equivalents(self.write("a.cpp | x | 1 to 0 | reason\n"))

    def test_an_entry_that_matches_no_mutant_is_reported(self):
        found = mutants.find_mutants(FIXTURE)
        rel = found[0]["file"]
        path = self.write(f"{rel} | constexpr UINT8 kMask = 0x0C; | 0x0C -> 0x0D | a reason\n"
                          f"{rel} | constexpr UINT8 kMask = 0x0E; | 0x0E -> 0x0F | the line changed since\n")
        stale = mutants.stale_equivalents(found, mutants.load_equivalents(path))
        self.assertEqual([(n, k[1]) for n, k in stale], [(2, "constexpr UINT8 kMask = 0x0E;")])


class Results(unittest.TestCase):
    def test_only_results_of_this_tree_stand_and_skipped_ones_are_retried(self):
        out = tempfile.mkdtemp()
        records = [
            dict(id="a", status="killed", fate="new", at=1),
            dict(id="b", status="killed", fate="old", at=2),   # the tests changed since
            dict(id="c", status="skipped", fate="new", at=3),  # the source had moved
            dict(id="d", status="killed", fate="new", at=4),
        ]
        with open(os.path.join(out, "results-w0.jsonl"), "w") as f:
            f.writelines(json.dumps(r) + "\n" for r in records)
        with open(os.path.join(out, "results-w1.jsonl"), "w") as f:
            f.write(json.dumps(dict(id="d", status="survived", fate="new", at=5)) + "\n")  # newer
            f.write(json.dumps(dict(id="a", status="survived", fate="new", at=0)) + "\n")  # older
        done = mutants.read_results(out, "new")
        self.assertEqual({k: r["status"] for k, r in done.items()}, {"a": "killed", "d": "survived"})

    def test_the_fate_hash_follows_the_tests_and_not_the_equivalents(self):
        root = tempfile.mkdtemp()
        for rel, text in [("sb_pei/a.cpp", "x"), ("tests/t.cpp", "y"), ("tools/mutants_equivalent.txt", "e"),
                          ("README.md", "r")]:
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            open(os.path.join(root, rel), "w").write(text)
        files = ["sb_pei/a.cpp", "tests/t.cpp", "tools/mutants_equivalent.txt", "README.md"]
        before = mutants.fate_hash(root, files)
        for rel, changes_fate in [("README.md", False), ("tools/mutants_equivalent.txt", False), ("tests/t.cpp", True),
                                  ("sb_pei/a.cpp", True)]:
            with self.subTest(rel=rel):
                open(os.path.join(root, rel), "a").write("+")
                after = mutants.fate_hash(root, files)
                self.assertEqual(after != before, changes_fate)
                before = after


def running(pid):
    """Alive and not a zombie waiting for whoever adopted it."""
    try:
        state = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state != "Z"


class Shards(unittest.TestCase):
    class Args:
        files = since = None
        sample = None
        seed = "0"
        shard = None

    def chosen(self, **options):
        args = self.Args()
        for k, v in options.items():
            setattr(args, k, v)
        return [m["id"] for m in mutants.choose(self.all, args)]

    def setUp(self):
        self.all = mutants.find_mutants(FIXTURE)

    def test_the_shards_of_a_choice_split_it_whole_without_overlap(self):
        for n in (1, 2, 3, 7):
            for options in ({}, {"sample": 9, "seed": "abc"}):
                with self.subTest(n=n, options=options):
                    whole = self.chosen(**options)
                    parts = [self.chosen(shard=(k, n), **options) for k in range(1, n + 1)]
                    self.assertEqual(sorted(i for p in parts for i in p), sorted(whole))
                    self.assertLessEqual(max(map(len, parts)) - min(map(len, parts)), 1)
                    self.assertEqual(parts, [self.chosen(shard=(k, n), **options) for k in range(1, n + 1)])

    def test_the_shard_comes_from_the_option_or_the_ci_matrix(self):
        self.assertEqual(mutants.parse_shard("2/3"), (2, 3))
        for bad in ("0/3", "4/3", "3", "a/b"):
            with self.subTest(bad=bad), self.assertRaises(Exception):
                mutants.parse_shard(bad)
        self.assertEqual(mutants.shard_from_env({"CI_NODE_INDEX": "2", "CI_NODE_TOTAL": "5"}), (2, 5))
        self.assertIsNone(mutants.shard_from_env({"CI_NODE_TOTAL": "5"}))

    def test_merged_shards_report_as_one_run(self):
        found = [dict(m, file="sb_pei/fixture.cpp") for m in self.all[:6]]
        statuses = ["killed", "survived", "timed out", "does not build", "killed", "killed"]
        records = [dict(id=m["id"], status=st, detail="", fate="f", at=i) for i, (m, st) in enumerate(zip(found, statuses))]
        whole, shards = tempfile.mkdtemp(), [tempfile.mkdtemp() for _ in range(3)]
        with open(os.path.join(whole, "results-w0.jsonl"), "w") as f:
            f.writelines(json.dumps(r) + "\n" for r in records)
        for i, r in enumerate(records):
            with open(os.path.join(shards[i % 3], "results-w0.jsonl"), "a") as f:
                f.write(json.dumps(r) + "\n")
        with open(os.path.join(shards[2], "results-w1.jsonl"), "a") as f:  # read after the record it repeats
            f.write(json.dumps(dict(records[1], status="killed", at=-1)) + "\n")  # older: the newer stands
            f.write(json.dumps(dict(records[2], status="survived", fate="old", at=99)) + "\n")  # another tree
        merged = mutants.merge_results(shards, "f")
        self.assertEqual(merged, mutants.read_results(whole, "f"))
        self.assertEqual(mutants.report(found, merged, {})[0], mutants.report(found, mutants.read_results(whole, "f"), {})[0])


class Steps(unittest.TestCase):
    def test_a_step_past_its_time_leaves_nothing_running(self):
        pid_file = tempfile.mktemp()
        code, detail = mutants.run(["sh", "-c", f"sleep 30 & echo $! > {pid_file}; wait"], "/", timeout=1)
        self.assertIsNone(code)
        self.assertEqual(detail, "timed out")
        pid = int(open(pid_file).read())
        time.sleep(0.2)
        self.assertFalse(running(pid))  # the shell's child went with it

    def test_a_step_that_ends_gives_its_status_and_output(self):
        self.assertEqual(mutants.run(["sh", "-c", "echo out; echo err >&2; exit 3"], "/"), (3, "out\nerr\n"))

    def test_a_worker_that_cannot_build_fails_the_run_with_its_error(self):
        class Args:
            out = tempfile.mkdtemp()
            workers = 1
            max_seconds = None

        def broken(out, index, jobs):
            raise mutants.WorkerError(f"the unmutated tree does not build in worker {index}")

        saved = mutants.setup_worker
        mutants.setup_worker = broken
        try:
            errors = mutants.run_workers([{"id": "x"}], Args, "fate")
        finally:
            mutants.setup_worker = saved
        self.assertEqual(errors, ["the unmutated tree does not build in worker 0"])

    def test_each_verdict_and_the_source_whole_again(self):
        src = tempfile.mkdtemp()
        cases = [
            # file, what the build step gives, what the test step gives, verdict
            ("m.cpp", (1, "m.cpp:1: error: no\n"), (0, ""), ("does not build", "m.cpp:1: error: no")),
            ("m.cpp", (0, ""), (1, "FAILED"), ("killed", "step")),
            ("m.cpp", (0, ""), (None, "timed out"), ("timed out", "step")),
            ("m.cpp", (0, ""), (0, ""), ("survived", "")),
            ("m.h", (0, ""), (1, "FAILED"), ("killed", "step")),
        ]
        for name, built, tested, verdict in cases:
            with self.subTest(name=name, verdict=verdict):
                path = os.path.join(src, name)
                open(path, "w").write("int a = 1;")
                m = {"file": name, "start": 8, "end": 9, "original": "1", "replacement": "2"}
                seen = []  # the source as each build saw it

                def build_targets(build, targets, src_, env, deadline):
                    seen.append(open(path).read())
                    return built

                saved = mutants.build_targets, mutants.test_steps, mutants.run
                mutants.build_targets = build_targets
                mutants.test_steps = lambda src_, build, header: iter([("build", ["t"], None), ("step", None, ["x"])])
                mutants.run = lambda cmd, cwd, env, timeout, deadline: tested
                try:
                    self.assertEqual(mutants.apply_and_test(m, src, "build", {}), verdict)
                finally:
                    mutants.build_targets, mutants.test_steps, mutants.run = saved
                self.assertEqual(open(path).read(), "int a = 1;")
                # A header's mutant first meets the simulator as the unchanged tree builds it.
                self.assertEqual(seen, (["int a = 1;"] if name.endswith(".h") else []) + ["int a = 2;"])


if __name__ == "__main__":
    unittest.main(verbosity=1)
