"""The Python package's costs beside the C++ they wrap, measured in the same run:
a `get` of one entry through an agent, and `show` of a 64-entry memory shadow read
from its store. Each Python figure is given with the C++ figure of the same work (the
entry's data from its shadow and its fields decoded as the tool's views decode them;
the store walked and every entry decoded) and their ratio, and with its goal, met or
not.

show keeps the store's files mapped and remembers the entries it decoded (their
dicts are copied while their bytes stay the same): the table also gives show with
every entry decoded anew and with the files mapped anew, what a shadow changed
everywhere, or shown for the first time, costs.

Entries come in two kinds: "sparse" ones with one field set (what tables mostly
hold) and "dense" ones with every field at its largest value, the most a dict costs
(python/EntryDicts.h).

Each figure is the best of many short rounds (see ROUNDS); one line gives a get timed
in long rounds too, which on a loaded machine measures the load as much as the call.

Run by `make bench` (PYTHONPATH=build/python)."""

import os
import shutil
import tempfile
import time

import hwtables
from hwtables import _hwtables

TABLE = "IppaMplsSpecialLabelAttributesTblHwDirect"  # arrays 2..3 x rows 0..31: 64 rows, 31 fields
SMALL = "IppaTerminationProfileTableHwDirect"  # 8 rows, 7 fields
SPARSE, DENSE = 0, 1  # the FAPs whose shadows hold each kind


# Every figure is the best of many short rounds (a few milliseconds each, shorter than
# the time a busy machine gives a process before it runs another), the Python ones and
# the C++ ones alike: what a call costs when it runs, not how long the machine kept it
# waiting. The machine is shared; one long round would measure its load.
ROUNDS = 60


def per_call(function, times, rounds=ROUNDS):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(times):
            function()
        best = min(best, (time.perf_counter() - start) / times)
    return best * 1e9


def best_of(function, rounds=ROUNDS):
    return min(function() for _ in range(rounds))


def line(name, python_ns, cpp_ns, target_us=None):
    goal = ""
    if target_us is not None:
        goal = f"<= {target_us} us: " + ("met" if python_ns <= target_us * 1000 else "NOT met")
    cpp = f"{cpp_ns / 1000:.2f}" if cpp_ns else ""
    ratio = f"{python_ns / cpp_ns:.2f}" if cpp_ns else ""
    print(f"| {name} | {python_ns / 1000:.2f} | {cpp} | {ratio} | {goal} |")


def fill(agent):
    table = hwtables.table(TABLE)
    largest = {field.name: (1 << min(field.width, 64)) - 1
               for field in table.fields if field.kind == "scalar"}
    for array in (2, 3):
        for row in range(32):
            agent.set(TABLE, SPARSE, (array, row), specialLabelsMpls2P0Base=row % 16)
            agent.set(TABLE, DENSE, (array, row), **largest)


def main():
    root = tempfile.mkdtemp(prefix="hwtables-python-bench-", dir="/dev/shm")
    try:
        with hwtables.Agent(faps=[SPARSE, DENSE], root=root) as agent:
            fill(agent)
            entries = len(hwtables.show(TABLE, SPARSE, root))
            assert entries == 64, entries
            raw = agent._agent
            gets = {}
            for name, table, fap, key, position in (
                    ("7 fields", SMALL, SPARSE, 3, (0, 3)),
                    ("31 fields, sparse", TABLE, SPARSE, (2, 5), (2, 5)),
                    ("31 fields, dense", TABLE, DENSE, (2, 5), (2, 5))):
                gets[name] = (per_call(lambda: agent.get(table, fap, key), 1000),
                              best_of(lambda: raw.time_get(table, fap, *position, 1000)))
            # The same get timed as one long stretch of calls (five rounds of 20000),
            # which on a busy machine measures the share of a CPU it was given.
            long_rounds = per_call(lambda: agent.get(TABLE, DENSE, (2, 5)), 20000, rounds=5)
            console = best_of(lambda: raw.time_line(
                f"get {TABLE} 0 {{arrayIndex=2 entryIndex=5}}", 100))
            shows = {}
            for name, fap in (("sparse", SPARSE), ("dense", DENSE)):
                shows[name] = (per_call(lambda: hwtables.show(TABLE, fap, root), 20),
                               best_of(lambda: _hwtables.time_show(TABLE, fap, root, 20, True)))
            with hwtables.Shadow(TABLE, SPARSE, root) as shadow:
                shadow_show = per_call(shadow.show, 20)

                def decoded_anew():
                    shadow._shadow.forget()
                    return shadow.show()
                show_decoding = per_call(decoded_anew, 10)

            def opened_anew():
                _hwtables.forget_readers()
                return hwtables.show(TABLE, SPARSE, root)
            show_opening = per_call(opened_anew, 5)
            walk = best_of(lambda: _hwtables.time_show(TABLE, SPARSE, root, 20, False))
        print("| Python package | Python (us) | C++ (us) | Python / C++ | goal |")
        print("| --- | --- | --- | --- | --- |")
        for name, (python_ns, cpp_ns) in gets.items():
            line(f"get of one entry ({name})", python_ns, cpp_ns, 2)
        line("get of one entry (31 fields, dense), five long rounds, as the load lets it run",
             long_rounds, 0)
        for name, (python_ns, cpp_ns) in shows.items():
            line(f"show of a {entries}-entry shadow (31 fields, {name})", python_ns, cpp_ns, 100)
        line(f"Shadow.show of the same (sparse)", shadow_show, shows["sparse"][1])
        line("show, every entry decoded anew, as after changing all (sparse)", show_decoding, 0)
        line("show, the store's files mapped anew each call (sparse)", show_opening, 0)
        line("the store's walk alone (64 entries, no fields decoded)", walk, 0)
        print(f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs; "
              f"the console's `get` line, parsed and answered through the type runtime: "
              f"{console / 1000:.2f} us; the C++ figures decode fields as the tool's views "
              f"do, a string per field)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
