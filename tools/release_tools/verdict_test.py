#!/usr/bin/env python3
"""The verdict from the probe's report and the listing's findings: the
outcome line names the installer's codes and Windows errors as the
contract names them, a success is only where the installer runs elevated
when what runs asks for it, and each failure of unpacking gets its own
cause and what to do."""
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from release_tools import item_content, verdict  # noqa: E402
from release_tools.payload_search import Search  # noqa: E402


def report(exit_code, error=0, stage="unpack"):
    return {"exit-code": str(exit_code), "windows-error": str(error),
            "stage": stage, "archive-type": "B7", "setup-type": "BL"}


def findings(**facts):
    found = item_content.Findings()
    for name, value in facts.items():
        setattr(found, name, value)
    return found


class OutcomeLineTest(unittest.TestCase):
    def test_table(self):
        tags = "archive-type=B7 setup-type=BL road=plain"
        rows = [
            ("success", report(0), findings(), f"outcome: success {tags}",
             verdict.EXIT_SUCCESS),
            ("only where elevated", report(0), findings(elevated_only=True),
             f"outcome: success {tags} (only where the installer runs "
             "elevated)", verdict.EXIT_SUCCESS),
            ("a defect", report(0), findings(defects=["x"]),
             f"outcome: failure after-unpacking {tags} (see the defects "
             "above)", verdict.EXIT_FAILURE_PREDICTED),
            ("not judged", report(0), findings(unjudged=["x"]), None,
             verdict.EXIT_NO_PREDICTION),
            ("a path too long", report(108), findings(),
             "outcome: failure exit-code=108 windows-error=0 (PathTooLong, "
             "at the unpack stage)", verdict.EXIT_FAILURE_PREDICTED),
            ("two names", report(112, 68), findings(),
             "outcome: failure exit-code=112 windows-error=68 "
             "(ArchiveNotUnpacked, ERROR_TOO_MANY_NAMES, at the unpack "
             "stage)", verdict.EXIT_FAILURE_PREDICTED),
            ("a crash", report(125, 0xC0000005), findings(),
             "outcome: failure exit-code=125 windows-error=3221225477 "
             "(RunCrashed, EXCEPTION_ACCESS_VIOLATION, at the unpack stage)",
             verdict.EXIT_FAILURE_PREDICTED),
            ("setup's own code", report(3, 5, "module-path"), findings(),
             "outcome: failure exit-code=3 windows-error=5 "
             "(ERROR_ACCESS_DENIED, at the module-path stage)",
             verdict.EXIT_FAILURE_PREDICTED),
        ]
        for why, given, found, line, status in rows:
            with self.subTest(why):
                self.assertEqual(verdict.outcome_line(given, found),
                                 (line, status))
        self.assertIn("road=self-update", verdict.outcome_line(
            dict(report(0), **{"setup-type": "B7"}), findings())[0])


class AdviceTest(unittest.TestCase):
    def advice(self, exit_code, error=0, path="/short/installer.exe",
               free=1 << 40, **facts):
        usage = mock.Mock(free=free)
        with mock.patch.object(verdict.shutil, "disk_usage",
                               return_value=usage):
            return verdict.advice(report(exit_code, error),
                                  findings(**facts), path)

    def test_each_cause(self):
        deep = "/" + "d" * 240 + "/installer.exe"
        rows = [
            ("own path", (108, 122), {}, "own path is longer than 259"),
            ("a folder too deep", (108, 0, deep), {},
             "the work folder fits beside it only in a folder of at most "
             "235"),
            ("a file's path", (108,), {}, "pack it with shorter names"),
            ("a full volume", (116, 112), {}, "has no room"),
            ("room too small", (115, 0, "/x/i.exe", 10),
             {"unpacked_bytes": 11}, "up to 11 bytes at once"),
            ("names", (112, 68), {}, "one archive named korvel..., one "
             "setup program named setup..., nothing else in B7, BL and BN"),
            ("a cabinet that continues", (115,),
             {"cabinet_continues": True}, "continues in another cabinet"),
            ("a damaged cabinet", (115,), {"cabinet_damaged": True},
             "damaged or cut short"),
            ("a crash in a damaged cabinet", (125, 0xC0000005),
             {"cabinet_damaged": True}, "damaged or cut short"),
            ("a long cabinet path", (115, 0, "/" + "c" * 200 + "/i.exe"),
             {"setup_name": "SETUP" + "X" * 30}, "the cabinet's path in the "
             "work folder is 252 characters"),
            ("the cabinet library", (115,), {}, "check the cabinet with "
             "'gcab -t'"),
            ("a crash", (125, 0xC0000005), {}, "crashed while expanding"),
            ("no work folder", (109,), {}, "could not make its private work "
             "folder"),
            ("a failed write", (116, 5), {}, "writing the payload beside the "
             "installer failed (Windows error 5)"),
            ("an archive not written", (112, 5), {}, "writing the payload"),
        ]
        for why, arguments, facts, said in rows:
            with self.subTest(why):
                self.assertIn(said, self.advice(*arguments, **facts))

    def test_a_name_refused(self):
        search = Search().fail(112, 123)
        self.assertEqual(verdict.refused_name_lines(search), [])
        search.refused_name = ("B7", "KORVEL\\..\\X", "it holds '\\\\'")
        lines = verdict.refused_name_lines(search)
        self.assertIn("payload resource B7 'KORVEL\\\\..\\\\X'", lines[0])
        self.assertIn("exit code 112, Windows error 123, ERROR_INVALID_NAME",
                      lines[1])


if __name__ == "__main__":
    unittest.main()
