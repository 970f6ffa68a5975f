#!/usr/bin/env python3
"""The anchored mutant patches (apply.py): a hunk changes the function its
anchor names and no other, still applies after its function moved or was
re-indented, and is refused rather than guessed when its place is not unique."""

import os
import subprocess
import sys
import tempfile
import unittest

APPLY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "apply.py")

SOURCE = """void Other::report(int code) {
    if (code == 0) newest = attempt;
    reporter.event(0, code);
}

void Link::report(int code) {
    if (code == 0) newest = attempt;
    reporter.event(0, code);
}
"""

PATCH = """Mutant: the fault
Promise: what it breaks

@@ trader/Link.cpp: void Link::report(
     if (code == 0) newest = attempt;
+    if (code == 7) return;
     reporter.event(0, code);
"""


class AnchoredPatch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.dir.name, "trader"))
        self.patch = os.path.join(self.dir.name, "m.patch")

    def tearDown(self):
        self.dir.cleanup()

    def run_apply(self, source, patch, command="apply"):
        with open(os.path.join(self.dir.name, "trader", "Link.cpp"), "w") as f:
            f.write(source)
        with open(self.patch, "w") as f:
            f.write(patch)
        done = subprocess.run([sys.executable, APPLY, command, self.dir.name, self.patch],
                              capture_output=True, text=True)
        with open(os.path.join(self.dir.name, "trader", "Link.cpp")) as f:
            return done.returncode, f.read()

    def test_changes_the_anchored_function_only(self):
        status, result = self.run_apply(SOURCE, PATCH)
        self.assertEqual(status, 0)
        self.assertEqual(result, SOURCE.replace(
            "void Link::report(int code) {\n    if (code == 0) newest = attempt;\n",
            "void Link::report(int code) {\n    if (code == 0) newest = attempt;\n    if (code == 7) return;\n"))

    def test_applies_after_the_function_moved_and_was_reindented(self):
        moved = ("namespace x {\n\nvoid Link::report(int code) {\n        if (code == 0) newest = attempt;\n"
                 "        reporter.event(0, code);\n}\n\n" + SOURCE.split("\n\n")[0] + "\n}\n")
        status, result = self.run_apply(moved, PATCH)
        self.assertEqual(status, 0)
        self.assertEqual(result, moved.replace("attempt;\n        reporter",
                                               "attempt;\n    if (code == 7) return;\n        reporter"))

    def test_refuses_a_place_it_cannot_tell(self):
        link = "void Link::report(int code) {\n    if (code == 0) newest = attempt;\n    reporter.event(0, code);\n"
        for source in (SOURCE.replace("void Link::report", "void Link::renamed"),  # anchor gone
                       SOURCE.replace("Other::report", "Link::report"),  # anchor on two lines
                       SOURCE.replace(link, link + "    if (code == 0) newest = attempt;\n"
                                      "    reporter.event(0, code);\n"),  # the lines twice in the function
                       SOURCE.replace("reporter.event(0, code)", "reporter.event(1, code)")):  # the lines gone
            status, result = self.run_apply(source, PATCH)
            self.assertNotEqual(status, 0, source)
            self.assertEqual(result, source)  # left as it was

    def test_a_unified_diff_is_not_taken_for_an_anchored_patch(self):
        with open(self.patch, "w") as f:
            f.write("Mutant: x\n\n--- a/trader/Link.cpp\n+++ b/trader/Link.cpp\n@@ -1,2 +1,3 @@ void f() {\n")
        self.assertNotEqual(subprocess.run([sys.executable, APPLY, "anchored", self.patch]).returncode, 0)
        with open(self.patch, "w") as f:
            f.write(PATCH)
        self.assertEqual(subprocess.run([sys.executable, APPLY, "anchored", self.patch]).returncode, 0)


if __name__ == "__main__":
    unittest.main()
