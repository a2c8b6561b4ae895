"""Which payload resource names the installer makes a file of in its work
folder: the installer refuses the others (exit code 112 or 115, Windows
error 123, ERROR_INVALID_NAME) before it writes anything, so the packer
refuses to pack them and the inspector to probe them. The same rule as the
stub's IsUsablePayloadFileName (unpack/payload_name.cc); both are tested
against one table (unpack/testdata/payload_file_names.inc)."""

# Characters that no name in the work folder may hold: folder separators,
# the stream and drive separator, and what Windows refuses in a name.
FORBIDDEN = set('\\/:<>"|?*')

# Names that Windows gives a device in every folder, whatever the case and
# extension; COM and LPT take a digit, the superscripts one to three too.
DEVICES = {"con", "prn", "aux", "nul", "conin$", "conout$"}
DEVICE_DIGITS = set("123456789\u00b9\u00b2\u00b3")


def lower_ascii(text):
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text)


def unusable_name_reason(name):
    """None when the installer makes a file of `name`, else why not."""
    if not name:
        return "it is empty"
    for c in name:
        if ord(c) < 0x20:
            return f"it holds the control character U+{ord(c):04X}"
        if c in FORBIDDEN:
            return f"it holds {c!r}"
    if name in (".", ".."):
        return "it names a folder"
    if name[-1] in ". ":
        return ("it ends with a dot or a space, which Windows drops from the "
                "name of the file it makes")
    stem = lower_ascii(name.split(".", 1)[0].rstrip(" "))
    if stem in DEVICES or (len(stem) == 4 and stem[:3] in ("com", "lpt") and
                           stem[3] in DEVICE_DIGITS):
        return "Windows takes it for a device in every folder"
    return None
