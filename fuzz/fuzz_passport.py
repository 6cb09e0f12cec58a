"""Coverage-guided fuzzing of quorvel_trellane.passport with atheris.

    python fuzz/fuzz_passport.py TARGET [libFuzzer options] [corpus dirs]

TARGET is one of the names in targets.TARGETS. Run it under the sanitizer
build (fuzz/run does) so that memory errors in the extension abort the run
with a report; a broken contract surfaces as an AssertionError from the
target and is saved by libFuzzer as crash-<hash>.

When no corpus directory is given, fuzz/corpus/TARGET is used and seeded
with a few real credentials and boundary inputs.

Without atheris (it ships no wheel for some platforms) the same target is
driven by hypothesis instead, bounded by -runs=N or -max_total_time=S.

    python fuzz/fuzz_passport.py TARGET --replay [dirs or files]

runs the target once on every input (its corpus by default) with neither
atheris nor libFuzzer: fuzz/coverage uses it to measure which lines of the
extension the corpus reaches.
"""

from __future__ import annotations

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def usage() -> None:
    import targets

    print(__doc__, file=sys.stderr)
    print("targets:", " ".join(targets.TARGETS), file=sys.stderr)
    sys.exit(2)


def corpus_dir(name: str, argv: list[str]) -> list[str]:
    """argv with the target's own corpus directory added when none is given."""
    import targets

    if any(not a.startswith("-") for a in argv):
        return argv
    path = os.path.join(HERE, "corpus", name)
    os.makedirs(path, exist_ok=True)
    if not os.listdir(path):
        for i, seed in enumerate(targets.seeds(name)):
            with open(os.path.join(path, f"seed-{i:03d}"), "wb") as f:
                f.write(seed)
    return argv + [path]


def option(argv: list[str], name: str, default: int) -> int:
    for a in argv:
        if a.startswith(f"-{name}="):
            return int(a.split("=", 1)[1])
    return default


def fuzz_with_hypothesis(name: str, argv: list[str]) -> None:
    import targets
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    target = targets.TARGETS[name]
    runs = option(argv, "runs", 10_000)
    budget = option(argv, "max_total_time", 0)
    start = time.monotonic()
    count = 0

    @settings(max_examples=runs, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(st.binary(max_size=4096))
    def run(data: bytes) -> None:
        nonlocal count
        if budget and time.monotonic() - start > budget:
            return
        count += 1
        target(data)

    for seed in targets.seeds(name):
        target(seed)
    run()
    print(f"#{count} DONE (hypothesis) target={name} time={time.monotonic() - start:.1f}s", file=sys.stderr)


def replay(name: str, paths: list[str]) -> None:
    import targets

    target = targets.TARGETS[name]
    paths = paths or [os.path.join(HERE, "corpus", name)]
    files = []
    for p in paths:
        if os.path.isdir(p):
            files += sorted(os.path.join(p, f) for f in os.listdir(p))
        else:
            files.append(p)
    for f in files:
        with open(f, "rb") as fh:
            target(fh.read())
    print(f"replayed {len(files)} inputs for {name}", file=sys.stderr)


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
        usage()
    name = sys.argv[1]
    rest = sys.argv[2:]
    if rest[:1] == ["--replay"]:
        replay(name, rest[1:])
        return
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is None:
        import targets

        if name not in targets.TARGETS:
            usage()
        fuzz_with_hypothesis(name, rest)
        return

    # Instrument the Python the extension calls back into (the JSON and
    # base64 wrappers, the canonicaliser, strptime) and the targets'
    # oracles, so that coverage guides the fuzzer through the shapes of
    # input that reach different paths.
    with atheris.instrument_imports(include=["targets", "rfc8785", "_strptime", "base64", "json"]):
        import _strptime  # noqa: F401

        import rfc8785  # noqa: F401
        import targets
    if name not in targets.TARGETS:
        usage()
    target = targets.TARGETS[name]
    targets.issuer()  # key generation and signing before the clock starts

    atheris.Setup([sys.argv[0]] + corpus_dir(name, rest), target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
