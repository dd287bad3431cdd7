"""Fixtures of the Python package's tests: a temporary store root below /dev/shm,
removed afterwards, and an agent on the simulated chip in this process."""

import os
import shutil
import tempfile

import pytest

import hwtables

TERMINATION = "IppaTerminationProfileTableHwDirect"      # {value=N}, 8 rows
SPECIAL_LABELS = "IppaMplsSpecialLabelAttributesTblHwDirect"  # {arrayIndex entryIndex}
PPH = "IppdPphAttributeByEeiHwDirect"                      # {value=N}, 16 rows


@pytest.fixture
def root():
    path = tempfile.mkdtemp(prefix="hwtables-python-test-", dir="/dev/shm")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def agent(root):
    with hwtables.Agent(root=root) as each:
        yield each


def tool(*arguments):
    """The path of the tool built beside the package."""
    return [os.path.join(os.environ.get("HWTABLES_BIN", "build/bin"), "hwtables"), *arguments]
