"""What the two commands' lines share: a parser that shows the command's
help as written, and output that shows a name the terminal's encoding
cannot show escaped rather than failing on it."""

import argparse
import sys


def parser_for(prog, doc, epilog):
    """The argument parser of a command whose description is the first
    paragraph of `doc` and whose epilog is shown as written."""
    return argparse.ArgumentParser(
        prog=prog, description=doc.split("\n\n")[0], epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter)


def escape_unshowable_names():
    """Names that the terminal's encoding cannot show are shown escaped."""
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
