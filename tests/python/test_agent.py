"""An agent driven from Python: a test engineer's script, and refused calls that
raise the exception of their kind and change nothing."""

import pytest

import hwtables
from conftest import PPH, SPECIAL_LABELS, TERMINATION


def test_a_script_programs_tables_by_field_name_and_reads_them_back(agent):
    agent.set(TERMINATION, 0, 3, hasCw=1, labelsToTerminate=2, checkBos=1)
    agent.set(SPECIAL_LABELS, 0, (3, 17), specialLabelsMpls2P0Base=9, specialAfterTunnel=1)
    agent.set(PPH, 1, {"value": 15}, fheiType=0xF, fheiSize=3)
    # The shadows hold the new fields at once; the chip only after the download.
    assert agent.get(TERMINATION, 0, "{value=3}")["fields"]["labelsToTerminate"] == 2
    with pytest.raises(hwtables.CheckFailed) as stale:
        agent.audit()
    assert len(stale.value.reply["differences"]) == 3

    agent.download()
    rows = {(row["key"]["arrayIndex"], row["key"]["entryIndex"]): row["fields"]
            for row in agent.read(SPECIAL_LABELS, 0)["entries"]}
    assert (rows[3, 17]["specialLabelsMpls2P0Base"], rows[3, 17]["specialAfterTunnel"]) == (9, 1)
    assert agent.audit()["differences"] == []
    # Another process's view of the store agrees with the agent's.
    shown = {row["keyText"]: row for row in hwtables.show(PPH, 1, agent.root)}
    assert shown["{value=15}"]["fields"] == {"fheiType": 15, "fheiSize": 3}


def entry_state(agent, root):
    return ([agent.get(TERMINATION, fap, row)["data"] for fap in (0, 1) for row in range(8)],
            hwtables.show(TERMINATION, 0, root))


REFUSED = [
    # A value too wide for its field, even after a good one: neither is applied.
    (hwtables.RangeError, "outside 0..3",
     lambda a: a.set(TERMINATION, 0, 3, hasCw=0, labelsToTerminate=4)),
    (hwtables.RangeError, "outside 0..255", lambda a: a.set(TERMINATION, 256, 1, hasCw=1)),
    (hwtables.RangeError, "below 0", lambda a: a.set(TERMINATION, 0, 1, hasCw=-1)),
    (hwtables.UsageError, "has no shadow for FAP 2", lambda a: a.set(TERMINATION, 2, 1, hasCw=1)),
    (hwtables.UsageError, "not one word", lambda a: a.set(TERMINATION, 0, "{value=1} #", hasCw=1)),
    (hwtables.UsageError, "not a key", lambda a: a.set(TERMINATION, 0, "{entryIndex=1}", hasCw=1)),
    (hwtables.UsageError, "a key is", lambda a: a.get(TERMINATION, 0, 1.5)),
    (hwtables.UsageError, "not a number", lambda a: a.set(TERMINATION, 0, 1, hasCw="yes")),
    (hwtables.UsageError, "at least one", lambda a: a.set(TERMINATION, 0, 1)),
    # True is an int to Python, but never a FAP id or an index (it is a flag's value).
    (hwtables.UsageError, "FAP id must be", lambda a: a.get(TERMINATION, True, 3)),
    (hwtables.UsageError, "FAP id must be", lambda a: a.set(TERMINATION, True, 3, hasCw=0)),
    (hwtables.UsageError, "key must be", lambda a: a.get(TERMINATION, 0, True)),
]


def test_refused_calls_raise_their_kind_and_change_nothing(agent, root):
    agent.set(TERMINATION, 0, 3, hasCw=True)
    before = entry_state(agent, root)
    for kind, words, call in REFUSED:
        with pytest.raises(kind) as refused:
            call(agent)
        assert words in str(refused.value)
        assert isinstance(refused.value, hwtables.Error)
        assert entry_state(agent, root) == before, words
    assert agent.get(TERMINATION, 0, 3)["fields"]["hasCw"] == 1


def test_a_closed_agent_refuses_its_stores_keep_their_entries_and_bad_bring_ups_are_refused(root):
    agent = hwtables.Agent(root=root, faps=[0])
    agent.set(TERMINATION, 0, 5, labelsToTerminate=3)
    agent.close()
    agent.close()
    with pytest.raises(hwtables.UsageError, match="closed"):
        agent.get(TERMINATION, 0, 5)
    with hwtables.Agent(root=root, faps=[0], warm=True) as successor:
        assert (successor.bring_up["start"],
                successor.get(TERMINATION, 0, 5)["fields"]["labelsToTerminate"]) == ("warm", 3)
    # Bad bring-up options, or a second agent on the same stores, are refused by kind.
    for kind, options in ((hwtables.UsageError, {"faps": [128]}),
                          (hwtables.UsageError, {"revision": "no_such_chip"}),
                          (hwtables.ChipError, {"chip": root + "/no-chip.sock",
                                                "chip_timeout": 0.5})):
        with pytest.raises(kind):
            hwtables.Agent(root=root, **options)
    with hwtables.Agent(root=root), pytest.raises(hwtables.Busy):
        hwtables.Agent(root=root)


def _keys(table):
    """Every key of the table's rows: (the key as get takes it, its text form)."""
    info = table.members[0]
    for array in range(info.firstArrayIndex, info.firstArrayIndex + max(info.arrayCount, 1)):
        for row in range(info.firstEntryIndex, info.firstEntryIndex + info.entryCount):
            if table.key.form == "single":
                yield row, "{value=%d}" % row
            else:
                yield (array, row), "{arrayIndex=%d entryIndex=%d}" % (array, row)


def test_get_answers_as_the_console_does_for_every_row_held_or_default(agent):
    # FAP 1's rows go from every field at its largest value to none set, one field
    # fewer a row: entries on both sides of the point where get stops filling a dict
    # of its own and copies one of zeros, the last bytes of the entry and bitmaps
    # included.
    for table in hwtables.tables():
        largest = [(field.name, (1 << min(field.width, 64)) - 1 if field.kind == "scalar"
                    else hex((1 << field.width) - 1))
                   for field in table.fields if field.kind in ("scalar", "bitmap")]
        for index, (key, _) in enumerate(_keys(table)):
            if index < len(largest):
                agent.set(table.name, 1, key, **dict(largest[:len(largest) - index]))
    agent.set(SPECIAL_LABELS, 1, (3, 31), specialLabelProfileAttributesEntry="0x" + "f" * 18)
    agent.set(TERMINATION, 0, 0, expectBos=1)
    agent.set(TERMINATION, 0, 7, labelsToTerminate=3)
    agent.delete(TERMINATION, 0, 7)
    for table in hwtables.tables():
        for fap in (0, 1):
            for key, text in _keys(table):
                console = agent.command(f"get {table.name} {fap} {text}")
                del console["entry"]
                got = agent.get(table.name, fap, key)
                assert got == console, (table.name, fap, key)
                assert list(got["fields"]) == list(console["fields"]), "the tool's order"
    # Keys the console refuses are refused the same way, whatever form they take.
    for key in (8, {"value": 8}, "{value=8}"):
        with pytest.raises(hwtables.RangeError, match="row 8 is outside 0..7"):
            agent.get(TERMINATION, 0, key)
    with pytest.raises(hwtables.UsageError, match="is not a key of"):
        agent.get(TERMINATION, 0, (0, 1))


def test_the_extensions_get_called_any_other_way_answers_or_refuses_as_a_bound_method(agent):
    # Only three positional arguments with a str table take the quick way; keywords,
    # other counts and other types reach the bound method and its own errors.
    raw = agent._agent
    assert raw.get(TERMINATION, 0, key=3) == raw.get(table=TERMINATION, fap=0, key=3) == \
        raw.get(TERMINATION, 0, 3)
    for call in (lambda: raw.get(TERMINATION, 0), lambda: raw.get(TERMINATION, 0, 3, 4),
                 lambda: raw.get(7, 0, 3), lambda: raw.get("\ud800", 0, 3),
                 lambda: raw.get(TERMINATION, 0, 3, fap=0)):
        with pytest.raises(TypeError, match=r"get\(\): incompatible function arguments"):
            call()
    with pytest.raises(TypeError):
        hwtables._hwtables.Agent.get(object(), TERMINATION, 0, 3)
    never_made = hwtables._hwtables.Agent.__new__(hwtables._hwtables.Agent)
    for call in (lambda: never_made.get(TERMINATION, 0, 3), lambda: never_made.get(1, 0, key=3)):
        with pytest.raises(TypeError, match="never made"):
            call()
