"""The catalogue, live shadows followed from outside the agent, and the store seen
read-only, each against what the tool says of the same thing."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import hwtables
from conftest import PPH, SPECIAL_LABELS, TERMINATION, tool


def test_the_catalogue_describes_every_table_as_the_tool_does():
    tables = hwtables.tables()
    listed = json.loads(subprocess.run(tool("tables", "--json"), check=True,
                                       capture_output=True, text=True).stdout)
    assert [table.name for table in tables] == [table["class"] for table in listed]
    assert sum(table.is_memory for table in tables) == 9
    for table, described in zip(tables, listed):
        assert [(f.name, f.offset, f.width) for f in table.fields] == \
               [(f["name"], f["offset"], f["width"]) for f in described["fields"]]
        assert [m.name for m in table.members] == [m["name"] for m in described["members"]]
    termination = hwtables.table(TERMINATION.lower())
    assert (termination.name, termination.key.null) == (TERMINATION, 8)
    assert "A in 2..3, E in 0..31" in repr(hwtables.table(SPECIAL_LABELS).key)
    with pytest.raises(hwtables.UsageError, match=f"did you mean.*{TERMINATION}"):
        hwtables.table(TERMINATION[:-1] + "x")


def test_ctrl_c_ends_a_waiting_watch_cleanly(root):
    script = textwrap.dedent("""
        import sys, hwtables
        try:
            with hwtables.watch("%s", 0, sys.argv[1]) as follower:
                for event in follower:
                    print(event["event"], flush=True)
        except KeyboardInterrupt:
            print("stopped", follower.closed, flush=True)
    """ % TERMINATION)
    waiter = subprocess.Popen([sys.executable, "-c", script, root], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert waiter.stdout.readline() == "waiting\n"
        waiter.send_signal(signal.SIGINT)
        out, _ = waiter.communicate(timeout=10)
    finally:
        waiter.kill()
    assert out == "stopped True\n"
    assert waiter.returncode == 0


def test_the_store_is_checked_as_the_tool_checks_it_and_never_written(agent, root):
    agent.set(PPH, 0, 9, fheiSize=1)
    directory = os.path.join(root, "bcm88490_a0", f"bcm88490_a0::{PPH}", "0")
    agent.close()
    store = hwtables.Store(directory)
    checked = store.check()
    run = subprocess.run(tool("store", "check", directory, "--json"), capture_output=True,
                         text=True, check=True)
    assert checked == json.loads(run.stdout) and checked["result"] == "ok"
    assert len(store.entries()) == checked["walked"]["occupied"] == len(list(store))

    with open(os.path.join(directory, "slots"), "r+b") as slots:
        slots.write(b"XXXXXXXX")
    before = {name: open(os.path.join(directory, name), "rb").read()
              for name in os.listdir(directory)}
    assert store.check()["result"] == "invalid"
    with pytest.raises(hwtables.CorruptionError):
        store.entries()
    assert before == {name: open(os.path.join(directory, name), "rb").read()
                      for name in os.listdir(directory)}
    with pytest.raises(hwtables.UsageError, match="no store directory"):
        hwtables.Store(os.path.join(root, "absent"))


def test_a_watch_waiting_in_one_thread_lets_another_program_the_table(agent, root):
    # The watcher's waits hold no GIL: were they to, each set below would wait for the
    # watcher's hour-long wait to end and the test would time out.
    seen = threading.Event()
    with hwtables.watch(PPH, 0, root) as follower:
        def follow():
            for event in follower:
                if event["event"] in ("added", "changed") and \
                        event["key"]["entryIndex"] == 11 and event["value"]["fields"]["fheiType"] == 9:
                    seen.set()
        watcher = threading.Thread(target=follow)
        watcher.start()
        for step in range(1, 10):
            agent.set(PPH, 0, 11, fheiType=step)
        assert seen.wait(timeout=20)
    watcher.join(timeout=10)
    assert not watcher.is_alive() and follower.closed
