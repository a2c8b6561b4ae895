"""Authenticode signing of a packed installer (SHA-256), by osslsigncode:
what the signing options must give, and the signing itself, which appends
the certificate table and leaves every section's bytes as they were."""

import os
import shutil
import sys

from .pack_rules import check_input_file, refuse, run_tool, source_date_epoch


class Signing:
    """What an installer is signed with: the certificate, its key and the
    time-stamping authority's address (or None), as absolute paths."""

    def __init__(self, certificate, key, timestamp_url):
        self.certificate = os.path.abspath(certificate)
        self.key = os.path.abspath(key)
        self.timestamp_url = timestamp_url


def check_signing(certificate, key, timestamp_url):
    """The Signing that the options ask for, or None when the installer is
    not to be signed; refuses options that do not go together, and signing
    where osslsigncode is missing rather than leaving the installer
    unsigned."""
    if not certificate and not key:
        if timestamp_url:
            refuse("--timestamp-url needs --sign-cert and --sign-key; give "
                   "them too, or leave the time stamp out")
        return None
    if not certificate or not key:
        refuse("--sign-cert and --sign-key go together; give both")
    check_input_file(certificate, "certificate")
    check_input_file(key, "key")
    if shutil.which("osslsigncode") is None:
        if sys.platform == "win32":
            refuse("osslsigncode is not on PATH, so the installer cannot be "
                   "signed here. Pack without --sign-cert and --sign-key, "
                   "then sign with Windows' own signtool: signtool sign /fd "
                   "SHA256 /f certificate.pfx installer.exe")
        refuse("osslsigncode is not installed; it is needed for signing. "
               "Install it (on Debian: apt-get install osslsigncode)")
    return Signing(certificate, key, timestamp_url)


def sign_image(path, signing):
    """Adds an Authenticode signature (SHA-256) to the image at `path`.

    Signing appends the certificate table and fills the image's security
    directory and checksum; the sections, the payload among them, keep
    their bytes. With SOURCE_DATE_EPOCH the signing time is that moment, so
    the same key signs the same installer to the same bytes (unless a time
    stamp is asked for, which the authority makes anew)."""
    signed = f"{path}.signed"
    command = ["osslsigncode", "sign", "-certs", signing.certificate,
               "-key", signing.key, "-h", "sha256", "-in", path,
               "-out", signed]
    if signing.timestamp_url:
        command[2:2] = ["-t", signing.timestamp_url]
    epoch = source_date_epoch()
    if epoch is not None:
        command[2:2] = ["-time", str(epoch)]
    try:
        run_tool(command, "signing")
        os.replace(signed, path)
    finally:
        if os.path.exists(signed):
            os.remove(signed)
