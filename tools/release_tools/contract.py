"""What the installer and its tools agree on, read from the one place it is
written: the C++ header support/installer_contract.h that the stub is built
from, which the release kit carries at the same place. Its definitions keep
a plain form (one per line, "inline constexpr" with a number, a text or a
list of texts, and the enumeration of exit codes), which this reader takes
and nothing else."""
import os
import re

from .layout import SOURCE_DIR

HEADER = os.path.join("support", "installer_contract.h")

_ENUM = re.compile(r"enum class ExitCode\b[^{]*\{(.*?)\};", re.S)
_ENUMERATOR = re.compile(r"^\s*(\w+)\s*=\s*(\d+)\s*,", re.M)
_CONSTANT = re.compile(
    r"^inline constexpr [\w:* ]+?\b(k\w+)(\[\])?\s*=\s*(.+?);\s*$", re.M)
_TEXT = re.compile(r'L"((?:[^"\\]|\\.)*)"')


class ContractError(Exception):
    """The header is missing or holds a definition this reader does not
    take."""


def _value(literal, name):
    literal = literal.strip()
    if re.fullmatch(r"\d+", literal):
        return int(literal)
    if literal.startswith("{") and literal.endswith("}"):
        texts = _TEXT.findall(literal)
        if _TEXT.sub("", literal[1:-1]).replace(",", "").strip():
            raise ContractError(f"{name}: a list of other than texts")
        return [text.replace('\\\\', '\\') for text in texts]
    whole = _TEXT.fullmatch(literal)
    if whole:
        return whole.group(1).replace('\\\\', '\\')
    raise ContractError(f"{name}: {literal!r} is no number, text or list")


class Contract:
    """`exit_codes` maps each of the installer's own exit codes to its name;
    every other definition is an attribute named as in the header (without
    its leading "k"): kPayloadTypes becomes payload_types."""

    def __init__(self, text):
        body = _ENUM.search(text)
        if body is None:
            raise ContractError("no enumeration of exit codes")
        self.exit_codes = {int(number): name for name, number in
                           _ENUMERATOR.findall(body.group(1))}
        if not self.exit_codes:
            raise ContractError("an enumeration of exit codes without any")
        self.names = []
        for match in _CONSTANT.finditer(text):
            name = match.group(1)
            attribute = re.sub(r"(?<!^)(?=[A-Z])", "_", name[1:]).lower()
            setattr(self, attribute, _value(match.group(3), name))
            self.names.append(attribute)

    def exit_code_name(self, code):
        """The installer's name of its own exit code, or "" for any other
        number (a process's it ran)."""
        return self.exit_codes.get(code, "")

    def exit_code(self, name):
        """The number of the installer's exit code named `name`; KeyError
        for a name the header does not give."""
        for code, known in self.exit_codes.items():
            if known == name:
                return code
        raise KeyError(f"no exit code {name!r} in {HEADER}")

    def windows_error_names(self):
        """The Windows errors the installer sets itself, by number, named
        as Windows names them (kErrorInvalidName: ERROR_INVALID_NAME)."""
        return {getattr(self, name): name.upper() for name in self.names
                if name.startswith("error_")}

    def work_folder_name_length(self):
        """How many characters the work folder's name takes."""
        return (len(self.work_folder_prefix) + self.work_folder_digits +
                len(self.work_folder_suffix))

    def work_folder_pattern(self):
        """A regular expression that matches the work folder's name."""
        return (re.escape(self.work_folder_prefix) +
                f"[0-9A-F]{{{self.work_folder_digits}}}" +
                re.escape(self.work_folder_suffix))


def load(source_dir=SOURCE_DIR):
    """The contract as the header beside these tools writes it."""
    path = os.path.join(source_dir, HEADER)
    try:
        with open(path, encoding="utf-8") as f:
            return Contract(f.read())
    except OSError as error:
        raise ContractError(f"cannot read {path}: {error.strerror}") from None


CONTRACT = load()
