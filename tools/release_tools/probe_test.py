#!/usr/bin/env python3
"""A probe run that Wine itself failed (its process never set up, or its
exit status lost as it was torn down) is run again, a bounded number of
times; a probe that failed on its own is never run twice. A stand-in wine
on PATH plays both, so that nothing here waits for Wine's rare faults."""
import os
import shutil
import stat
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import probe  # noqa: E402

# Writes a report to the probe's report path ($3, a Z: path) on the calls
# whose number is in $SUCCEED_ON, and otherwise says $FAILURE and exits with
# $STATUS.
STAND_IN_WINE = r"""#!/bin/sh
calls=$(/bin/cat "$WORK/calls" 2>/dev/null || echo 0)
calls=$((calls + 1))
echo $calls > "$WORK/calls"
case " $SUCCEED_ON " in *" $calls "*)
  report=$(printf '%s' "$3" | /bin/sed 's/^Z://; s#\\#/#g')
  echo "stage=done" > "$report"
  exit 0;;
esac
echo "$FAILURE" >&2
exit $STATUS
"""


@unittest.skipIf(sys.platform == "win32", "a shell script stands in")
class WineOwnFailureTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="probe-test.")
        self.addCleanup(shutil.rmtree, self.work, True)
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "wine"), "w") as f:
            f.write(STAND_IN_WINE)
        os.chmod(os.path.join(bin_dir, "wine"), stat.S_IRWXU)
        self.build = os.path.join(self.work, "build")
        os.makedirs(os.path.dirname(os.path.join(self.build, probe.PROBE)))
        open(os.path.join(self.build, probe.PROBE), "wb").close()
        prefix = os.path.join(self.work, "prefix")
        os.makedirs(prefix)
        open(os.path.join(prefix, "system.reg"), "w").close()
        self.installer = os.path.join(self.work, "installer.exe")
        open(self.installer, "wb").close()
        self.environment = {"PATH": bin_dir, "WORK": self.work,
                            "WINEPREFIX": prefix}

    def calls(self):
        with open(os.path.join(self.work, "calls")) as f:
            return int(f.read())

    def test_only_wines_own_failures_are_run_again(self):
        start_failure = ("err:virtual:virtual_alloc_first_teb wine: failed "
                         "to map the shared user data: c0000018")
        exit_failure = ("Inconsistency detected by ld.so: dl-fini.c: 87: "
                        "_dl_fini: Assertion failed!")
        rows = [
            # why, failure said, its status, calls that succeed, report?,
            # calls made
            ("Wine could not start it once", start_failure, 1, "2", True, 2),
            ("Wine lost its exit twice", exit_failure, 127, "3", True, 3),
            ("Wine fails every time", start_failure, 1, "", False,
             probe.WINE_ATTEMPTS),
            ("the probe itself fails", "payload_probe: cannot load it", 1,
             "2", False, 1),
            ("Wine complains in passing, the probe ends on its own",
             start_failure, 2, "2", False, 1),
        ]
        for why, failure, status, succeed_on, reported, calls in rows:
            with self.subTest(why), mock.patch.dict(
                    os.environ, {**self.environment, "FAILURE": failure,
                                 "STATUS": str(status),
                                 "SUCCEED_ON": succeed_on}):
                if os.path.exists(os.path.join(self.work, "calls")):
                    os.remove(os.path.join(self.work, "calls"))
                if reported:
                    self.assertEqual(
                        probe.probe(self.installer, self.build, 10),
                        {"stage": "done"})
                else:
                    failed = f"failed with status {status}"
                    with self.assertRaisesRegex(probe.NoPrediction, failed):
                        probe.probe(self.installer, self.build, 10)
                self.assertEqual(self.calls(), calls)


if __name__ == "__main__":
    unittest.main()
