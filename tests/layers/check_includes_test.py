"""The include check on small trees made for it: it must name each break with its
file, line and rule, pass what the layers allow, and refuse a directory that is not
a source tree."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "..", "scripts", "check-includes")


def tree(files):
    root = tempfile.TemporaryDirectory()
    for layer in ("platform", "framework"):
        os.makedirs(os.path.join(root.name, layer), exist_ok=True)
    for path, text in files.items():
        full = os.path.join(root.name, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as out:
            out.write(text)
    return root


def run(root):
    return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)


class CheckIncludes(unittest.TestCase):
    def test_an_include_upwards_is_named_with_its_line_and_rule(self):
        with tree({
            "framework/Good.h": '#include "platform/vorl/Ptr.h"\n#include "framework/Other.h"\n',
            "framework/Bad.h": '// a comment\n#include <vector>\n  #  include "tables/Thing.h"\n',
            "agent/Agent.h": '#include "readers/Reader.h"\n',
        }) as root:
            result = run(root)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            'agent/Agent.h:1: includes "readers/Reader.h": agent may include only agent, '
            'framework, platform',
            'framework/Bad.h:3: includes "tables/Thing.h": framework may include only '
            'framework, platform',
        ])

    def test_what_the_layers_allow_passes(self):
        with tree({
            "tables/definitions/Table.def": "",
            "tables/Table.h": '#include "ValueNames.h"\n#include "store/Store.h"\n',
            "tables/generate/Table.h.in": '#include "tables/@NAME@Fields.h"\n',
            "modules/Module.cc": '#include "readers/Reader.h"\n#include "tables/Table.h"\n',
            "tests/AnyTest.cc": '#include "tools/Tool.h"\n',
            "python/Module.cc": '#include "tools/Tool.h"\n#include "pybind11/pybind11.h"\n',
        }) as root:
            result = run(root)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout, "")

    def test_a_directory_that_is_no_source_tree_is_refused(self):
        with tempfile.TemporaryDirectory() as root:
            result = run(root)
        self.assertEqual(result.returncode, 2)
        self.assertIn("is not the source tree", result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
