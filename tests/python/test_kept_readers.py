"""Shadows read again and again through readers kept open between calls: the
answers stay the tool's, and a store that is gone or was replaced is never answered
from its old files."""

import json
import os
import shutil
import subprocess
import threading

import pytest

import hwtables
from conftest import SPECIAL_LABELS, TERMINATION, tool


def _without_key_text(entries):
    return [{k: v for k, v in entry.items() if k != "keyText"} for entry in entries]


def _tool_show_all(root):
    document = json.loads(subprocess.run(
        tool("show", "all", "--faps", "0", "--root", root, "--json"), check=True,
        capture_output=True, text=True).stdout)
    return {shadow["table"]: shadow["entries"] for shadow in document["shadows"]}


def _last_key(table):
    if table.key.null is not None:
        return table.key.null - 1
    return (table.key.arrayIndexMax, table.key.entryIndexMax)


def test_entries_with_every_field_set_or_clear_decode_as_the_tool_decodes_them(root):
    # Dicts start as a copy of every field at zero and only set the others: an entry
    # with every field at its largest value, next to start-up rows and defaults, must
    # still read as the tool reads it, in every memory table.
    with hwtables.Agent(faps=[0], root=root) as agent:
        memories = [table for table in hwtables.tables() if table.is_memory]
        for table in memories:
            largest = {field.name: (1 << min(field.width, 64)) - 1
                       for field in table.fields if field.kind == "scalar"}
            agent.set(table.name, 0, _last_key(table), **largest)
        expected = _tool_show_all(root)
        for table in memories:
            shown = hwtables.show(table.name, 0, root)
            assert _without_key_text(shown) == expected[table.name], table.name
            assert all(value != 0 for value in shown[-1]["fields"].values()), table.name
        # Shown again, unchanged entries come from what the last read decoded: as
        # copies, which the caller may change without changing the next answer.
        for entry in hwtables.show(SPECIAL_LABELS, 0, root):
            entry["fields"]["specialTcCompareStrength"] = 99
            entry["key"]["entryIndex"] = 99
            entry["data"] = ""
        assert _without_key_text(hwtables.show(SPECIAL_LABELS, 0, root)) == \
            expected[SPECIAL_LABELS]
        # An entry changed since is decoded anew, whatever the others.
        agent.set(SPECIAL_LABELS, 0, (3, 31), specialTcCompareStrength=1)
        assert _strengths(hwtables.show(SPECIAL_LABELS, 0, root))[(3, 31)] == 1


def _strengths(entries):
    return {(entry["key"]["arrayIndex"], entry["key"]["entryIndex"]):
            entry["fields"]["specialTcCompareStrength"] for entry in entries}


def test_a_store_replaced_or_removed_between_two_reads_is_never_answered_from_old_files(root):
    with hwtables.Agent(faps=[0], root=root) as first:
        first.set(SPECIAL_LABELS, 0, (2, 31), specialTcCompareStrength=3)
    shadow = hwtables.Shadow(SPECIAL_LABELS, 0, root)
    assert shadow.get((2, 31))["fields"]["specialTcCompareStrength"] == 3
    shadow.show()
    assert shadow._shadow.opens == 1  # kept while its store stays the same

    # A new writer on the same root: a cold agent starts every shadow afresh.
    with hwtables.Agent(faps=[0], root=root) as second:
        second.set(SPECIAL_LABELS, 0, (2, 30), specialTcCompareStrength=1)
        for entries in (hwtables.show(SPECIAL_LABELS, 0, root), shadow.show()):
            assert _strengths(entries)[(2, 30)] == 1
            assert _strengths(entries).get((2, 31), 0) == 0
        assert shadow._shadow.opens == 2

    # The whole root removed: no store, and no answer from the files still mapped.
    shutil.rmtree(root)
    for read in (lambda: hwtables.show(SPECIAL_LABELS, 0, root), shadow.show,
                 lambda: shadow.get((2, 30))):
        with pytest.raises(hwtables.CheckFailed, match="no store"):
            read()

    # Made again by another agent: read again, with that agent's contents.
    with hwtables.Agent(faps=[0], root=root) as third:
        third.set(SPECIAL_LABELS, 0, (3, 0), specialTcCompareStrength=2)
        for entries in (hwtables.show(SPECIAL_LABELS, 0, root), shadow.show()):
            assert _strengths(entries)[(3, 0)] == 2
            assert _strengths(entries).get((2, 30), 0) == 0
    shadow.close()


def test_a_store_being_made_or_damaged_is_refused_and_read_again_once_whole(agent, root):
    agent.set(TERMINATION, 0, 5, hasCw=1)
    directory = os.path.join(root, "bcm88490_a0", f"bcm88490_a0::{TERMINATION}", "0")
    with hwtables.Shadow(TERMINATION, 0, root) as shadow:
        assert shadow.get(5)["fields"]["hasCw"] == 1
        pyrel = os.path.join(directory, "pyrel")
        whole = open(pyrel, "rb").read()
        with open(pyrel, "r+b") as damaged:  # a torn identity: no writer's
            damaged.write(b"\0" * len(whole))
        for read in (shadow.show, lambda: hwtables.show(TERMINATION, 0, root)):
            with pytest.raises(hwtables.CheckFailed, match="cannot be read now"):
                read()
        with open(pyrel, "wb") as repaired:
            repaired.write(whole)
        assert shadow.get("{value=5}")["fields"]["hasCw"] == 1
        assert hwtables.show(TERMINATION, 0, root) == shadow.show()
    assert shadow.closed


def test_a_shadow_object_refuses_bad_keys_and_use_after_close(agent, root):
    agent.set(TERMINATION, 0, 7, labelsToTerminate=3)
    for kind, words, call in (
            (hwtables.CheckFailed, "FAP 7: no store", lambda: hwtables.Shadow(TERMINATION, 7, root).show()),
            (hwtables.UsageError, "is a register",
             lambda: hwtables.Shadow("IppVttSpecialLabelValuesHwReg", 0, root)),
            (hwtables.RangeError, "", lambda: hwtables.Shadow(TERMINATION, 256, root))):
        with pytest.raises(kind, match=words):
            call()
    shadow = hwtables.Shadow(TERMINATION, 0, root)
    assert shadow.get(7) == shadow.get({"value": 7}) == shadow.show()[-1]
    held = {entry["key"]["entryIndex"]: entry for entry in shadow.show()}
    assert [shadow.get(row) for row in range(8)] == [held.get(row) for row in range(8)]
    for kind, key in ((hwtables.RangeError, 9), (hwtables.UsageError, (0, 7)),
                      (hwtables.UsageError, "{value=7} x")):
        with pytest.raises(kind):
            shadow.get(key)
    shadow.close()
    shadow.close()
    assert repr(shadow) == "<Shadow (closed)>"
    with pytest.raises(hwtables.UsageError, match="closed"):
        shadow.show()


def test_threads_showing_one_shadow_while_it_changes_and_closes_get_whole_answers(agent, root):
    shadow = hwtables.Shadow(SPECIAL_LABELS, 0, root)
    rows = len(shadow.show())
    answers, failures = [], []

    def read():
        try:
            while True:
                for entries in (shadow.show(), hwtables.show(SPECIAL_LABELS, 0, root)):
                    answers.append(len(entries))
        except hwtables.UsageError as error:  # the shadow closed: the end
            if "closed" not in str(error):
                failures.append(error)
        except Exception as error:
            failures.append(error)

    readers = [threading.Thread(target=read) for _ in range(3)]
    for each in readers:
        each.start()
    for step in range(60):
        agent.set(SPECIAL_LABELS, 0, (2 + step % 2, step % 32), specialTcCompareStrength=step % 4)
    shadow.close()
    for each in readers:
        each.join(timeout=30)
    assert not any(each.is_alive() for each in readers) and not failures
    assert answers and set(answers) == {rows}
    assert _without_key_text(hwtables.show(SPECIAL_LABELS, 0, root)) == \
        _tool_show_all(root)[SPECIAL_LABELS]
