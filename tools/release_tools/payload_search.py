"""The installer's search of its own payload, made on a resource directory
as the loader shows it to the installer: the types "B7", "BL" and "BN" in
that order, each type's names enumerated as stored, each name looked up
again (in upper case, as the lookup takes it) for its data, and every name
classified by its prefix. The inspector holds the probe's answer, which the
installer's own code gives, against this one: where they differ, the
directory is read in two ways, and neither answer can be trusted for
Windows."""

from .contract import CONTRACT
from .payload_names import unusable_name_reason

PAYLOAD_TYPES = CONTRACT.payload_types  # the installer's search order


# Payload items are classified by these name prefixes, ASCII letters folded.
ARCHIVE_PREFIX = CONTRACT.archive_prefix


SETUP_PREFIX = CONTRACT.setup_prefix


# The installer copies an item's name into a path buffer of 260 units,
# its terminator included.
NAME_CAPACITY = CONTRACT.path_capacity


# Outcomes of the search, as the installer reports them.
ARCHIVE_NOT_UNPACKED = CONTRACT.exit_code("ArchiveNotUnpacked")
SETUP_NOT_UNPACKED = CONTRACT.exit_code("SetupNotUnpacked")
ERROR_FILE_NOT_FOUND = CONTRACT.error_file_not_found
ERROR_INVALID_DATA = CONTRACT.error_invalid_data
ERROR_TOO_MANY_NAMES = CONTRACT.error_too_many_names
ERROR_FILENAME_EXCED_RANGE = CONTRACT.error_filename_exced_range
ERROR_INVALID_NAME = CONTRACT.error_invalid_name


def role(name):
    """"archive", "setup" or None, as the installer classifies a name."""
    if not isinstance(name, str):
        return None
    folded = "".join(c.lower() if "A" <= c <= "Z" else c for c in name)
    if folded.startswith(ARCHIVE_PREFIX):
        return "archive"
    if folded.startswith(SETUP_PREFIX):
        return "setup"
    return None


def upper_units(text):
    """The text in upper case unit by unit, as the resource lookup takes a
    name: a unit whose capital is another single unit becomes it."""
    def upper(c):
        capital = c.upper()
        if len(capital) == 1 and ord(c) <= 0xFFFF and ord(capital) <= 0xFFFF \
                and not "\ud800" <= c <= "\udfff":
            return capital
        return c
    return "".join(upper(c) for c in text)


class Item:
    """One item the search took: its type, its name as enumerated, and the
    resource the lookup found; `choices` holds every language of it when
    the lookup leaves the choice to the user's language settings."""

    def __init__(self, type_key, name, resource, choices=()):
        self.type = type_key
        self.name = name
        self.resource = resource
        self.choices = list(choices)


class Search:
    """What the search gives: the installer's exit code and Windows error
    for it (0, 0 when both items were found), the type in which each item
    was first found, and the items. `unknown` says why the search's answer
    on Windows cannot be told from the directory alone, or is None."""

    def __init__(self):
        self.exit_code = 0
        self.windows_error = 0
        self.archive_type = ""
        self.setup_type = ""
        self.items = {}  # "archive" / "setup" -> Item
        self.unknown = None
        # The name that ended the search as no name of a file in the work
        # folder, and why; None otherwise.
        self.refused_name = None

    def fail(self, exit_code, windows_error):
        self.exit_code = exit_code
        self.windows_error = windows_error
        return self


def search_payload(directory):
    """The search made on a ResourceDirectory; raises ValueError when the
    directory takes more reading than any image's."""
    search = Search()
    for type_key in PAYLOAD_TYPES:
        error = search_type(directory, type_key, search)
        if error:
            return search.fail(ARCHIVE_NOT_UNPACKED if not search.archive_type
                               else SETUP_NOT_UNPACKED, error)
        if "archive" in search.items and not search.archive_type:
            search.archive_type = type_key
        if "setup" in search.items and not search.setup_type:
            search.setup_type = type_key
    if "archive" not in search.items:
        return search.fail(ARCHIVE_NOT_UNPACKED, ERROR_FILE_NOT_FOUND)
    if "setup" not in search.items:
        return search.fail(SETUP_NOT_UNPACKED, ERROR_FILE_NOT_FOUND)
    return search


def search_type(directory, type_key, search):
    """The enumeration of one type's names, each taken as the installer's
    per-name step takes it; the error it ends with, or 0."""
    table = directory.type_table(type_key)
    if table is None:
        return 0
    counts = directory.table(table)
    # Each name either becomes one of the two items or ends the type, so
    # the enumeration never goes past the third.
    for index in range(counts[0] + counts[1]):
        entry = directory.entry(table, index)
        if entry is None:
            return 0
        field, _ = entry
        if not field & 0x80000000:
            return 0  # a numbered entry ends the search of the type
        # The name as the enumeration hands it on: to its first zero unit.
        name = directory.key(field, 0xFFFF).split("\0", 1)[0]
        if name.startswith("#"):
            # A lookup reads "#123" as the number 123, and what it makes of
            # any other text after "#" is its own.
            search.unknown = (f"the {type_key} resource {name[:40]!r} is "
                              "named like a number, which the lookup reads "
                              "its own way")
            return 0
        choices = directory.languages(type_key, upper_units(name))
        found = directory.default_language(type_key, upper_units(name))
        if found is None and not choices:
            return 0  # the lookup finds nothing: the type ends, no error
        resource = found or choices[0]
        if resource.size == 0:
            return 0
        kind = role(name)
        if kind is None:
            return ERROR_INVALID_DATA
        if kind in search.items:
            return ERROR_TOO_MANY_NAMES
        if len(name) + 1 > NAME_CAPACITY:
            return ERROR_FILENAME_EXCED_RANGE
        reason = unusable_name_reason(name)
        if reason:
            search.refused_name = (type_key, name, reason)
            return ERROR_INVALID_NAME
        search.items[kind] = Item(type_key, name, resource,
                                  choices if found is None else ())
    return 0
