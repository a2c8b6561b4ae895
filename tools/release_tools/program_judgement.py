"""Whether Windows starts a setup program from the installer, judged once
for both tools, in the same words: the packer refuses or warns by it
before it writes anything, the inspector lists it and predicts by it. A
program that Windows starts in no run is refused; one it starts only in
an elevated run is so in both tools' verdicts; what this tool cannot judge
(a manifest too large, one it cannot read, a document type declaration)
and what the program needs beyond a fresh Windows are said by both."""

from .start_policy import missing_dependencies, refusal_to_start


# How both tools say that a program starts only in an elevated run: the
# installer runs with its caller's rights, and any other run's start of it
# fails with ERROR_ELEVATION_REQUIRED (740).
ELEVATED_ONLY = "Windows starts it only where the installer runs elevated"


class ProgramJudgement:
    """What is judged of a program: `refusal`, a StartRefusal or None;
    `unjudged`, the reasons why whether Windows starts it is not judged
    here; `unread`, the reason among them that its manifest cannot be read
    here at all (None when it can); `notes`, what it needs that a fresh
    Windows lacks, each said after the program ("depends on ...")."""

    def __init__(self, refusal, unjudged, unread, notes):
        self.refusal = refusal
        self.unjudged = unjudged
        self.unread = unread
        self.notes = notes


def judge_program(image, manifest):
    """The ProgramJudgement of a PeImage and its Manifest (or None)."""
    reason = manifest.unjudged() if manifest is not None else None
    notes = [f"depends on {name}, which a fresh Windows lacks: it starts "
             "only where that runtime was installed first"
             for name in (missing_dependencies(manifest)
                          if manifest is not None else [])]
    return ProgramJudgement(
        refusal_to_start(image, manifest), [reason] if reason else [],
        manifest.unread if manifest is not None else None, notes)
