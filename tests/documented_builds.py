#!/usr/bin/env python3
"""Builds one of the builds the README documents, from a clean copy of the tree, as a new user
would run it.

    documented_builds.py SOURCE_DIR SCRATCH_DIR BUILD

BUILD is one of:
  default                 ./build.sh: builds sbsim and the images, boots the default board, writes
                          build/report.html
  package                 ./build.sh package, then the .deb unpacked (dpkg-deb -x) and its sbsim
                          booting the default board and an example board on the image engine
  no-sanitizers-<TYPE>    everything (the tests too) without the sanitizers, CMAKE_BUILD_TYPE TYPE
  clang                   everything with clang++ instead of g++ (the sanitizers on)

The copy holds the files git knows and the new ones it does not ignore, so that a file missing
from the tree fails here as it would on a fresh clone. Compilations go through ccache with the
copy as its base folder, so that each build after the first costs little more than its links.
Exit status 0 when the build (and what it runs) succeeds."""
import os
import shutil
import subprocess
import sys
import time

SOURCE, SCRATCH, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
COPY = os.path.join(SCRATCH, BUILD)
BUILD_TYPES = ("Debug", "Release", "RelWithDebInfo", "MinSizeRel")


def run(command, **kwargs):
    print("+", " ".join(command), flush=True)
    started = time.monotonic()
    result = subprocess.run(command, cwd=kwargs.pop("cwd", COPY), env=ENV, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, **kwargs)
    print(result.stdout[-4000:] if result.returncode else result.stdout[-600:], flush=True)
    print(f"  ({time.monotonic() - started:.0f} s, exit status {result.returncode})", flush=True)
    if result.returncode != 0:
        sys.exit(f"{BUILD}: {' '.join(command)} failed")
    return result.stdout


def clean_copy():
    shutil.rmtree(COPY, ignore_errors=True)
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=SOURCE,
                           check=True, stdout=subprocess.PIPE).stdout.decode().split("\0")
    for name in filter(None, files):
        source = os.path.join(SOURCE, name)
        if not os.path.lexists(source):
            continue  # deleted in the work tree, not yet in git's index
        target = os.path.join(COPY, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target, follow_symlinks=False)


ENV = dict(os.environ)
ENV.update(CMAKE_C_COMPILER_LAUNCHER="ccache", CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=COPY,
           CCACHE_NOHASHDIR="1")
ENV.pop("SB_IMAGE_DIR", None)

clean_copy()
if BUILD == "default":
    out = run(["./build.sh"])
    assert "Total: 365 hardware accesses" in out, "the default board's summary"
    assert os.path.getsize(os.path.join(COPY, "build/report.html")) > 10000, "the report"
elif BUILD == "package":
    run(["./build.sh", "package"])
    debs = [f for f in os.listdir(os.path.join(COPY, "build-package")) if f.endswith(".deb")]
    assert len(debs) == 1, debs
    root = os.path.join(COPY, "unpacked")
    run(["dpkg-deb", "-x", os.path.join("build-package", debs[0]), root])
    sbsim = [os.path.join(d, "sbsim") for d, _, files in os.walk(root) if "sbsim" in files][0]
    out = run([sbsim])
    assert "Total: 365 hardware accesses" in out
    out = run([sbsim, "s3-usb-resume", "--engine", "image"])
    assert "BOOT_ON_S3_RESUME" in out
    version = run([sbsim, "--version"])
    assert root in version, "the unpacked package's data, not the tree's"
elif BUILD.startswith("no-sanitizers-") and BUILD[len("no-sanitizers-"):] in BUILD_TYPES:
    run(["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DSB_SANITIZE=OFF",
         f"-DCMAKE_BUILD_TYPE={BUILD[len('no-sanitizers-'):]}"])
    run(["cmake", "--build", "build"])
    run(["build/sbsim", "s3-usb-resume", "--engine", "image"])
elif BUILD == "clang":
    run(["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_C_COMPILER=clang-14",
         "-DCMAKE_CXX_COMPILER=clang++-14"])
    run(["cmake", "--build", "build"])
    run(["build/sbsim", "s3-usb-resume", "--engine", "image"])
else:
    sys.exit(f"unknown build {BUILD}")
shutil.rmtree(COPY, ignore_errors=True)  # several GB each: keep only a failed one
print(f"{BUILD}: built and ran")
