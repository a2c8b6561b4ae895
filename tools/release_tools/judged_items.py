"""The payload items to judge: the ones the installer's own search took,
as the probe reports them, held against what this listing's search finds.
Where the two differ, or where the resource directory alone cannot tell
what Windows would take, the disagreement is a reason not to judge."""

from .item_content import display_key
from .probe import NoPrediction


class PayloadItem:
    """One payload item to judge: the archive or the setup program, as the
    installer's search took it (or, without a probe, as this listing's
    search would)."""

    def __init__(self, kind, type_key, name, size, rva, data, offset=None):
        self.kind = kind            # "archive" or "setup"
        self.type = type_key        # "" when the search ended in its type
        self.name = name
        self.size = size
        self.rva = rva
        self.data = data            # what the file holds of it
        self.offset = offset        # in the file, as the probe located it

    def describes(self, resource):
        return (resource.rva == self.rva and resource.size == self.size and
                resource.name == self.name)


def probe_items(report, image):
    """The items that the probe's search took, from its report."""
    items = {}
    for kind in ("archive", "setup"):
        if f"{kind}-size" not in report:
            continue
        try:
            name = bytes.fromhex(report[f"{kind}-name"]).decode(
                "utf-16-be", "surrogatepass")
        except ValueError:
            raise NoPrediction(f"the probe's report names its {kind} "
                               "unreadably") from None
        size = int(report[f"{kind}-size"])
        rva = int(report[f"{kind}-rva"])
        offset = report.get(f"{kind}-offset")
        items[kind] = PayloadItem(
            kind, report.get(f"{kind}-type", ""), name, size, rva,
            image.read(rva, size),
            int(offset) if offset is not None else None)
    return items


def searched_items(search):
    """The items that this listing's own search took."""
    items = {}
    for kind, item in (search.items.items() if search else ()):
        resource = item.resource
        items[kind] = PayloadItem(kind, item.type, item.name, resource.size,
                                  resource.rva, resource.data)
    return items


def show_item(item):
    return (f"{item.type or '?'} {display_key(item.name)}, {item.size} bytes "
            f"at RVA 0x{item.rva:X}")


def disagreements(report, search, items, image):
    """Where the probe's search and this listing's differ, and what neither
    can tell of Windows; empty when they agree."""
    if search is None:
        return ["this listing cannot read the resource directory, which "
                "the installer's search reads"]
    found = []
    if search.unknown:
        found.append(search.unknown)
    theirs = (int(report["search-exit-code"]),
              int(report["search-windows-error"]))
    ours = (search.exit_code, search.windows_error)
    if theirs != ours:
        found.append(f"the installer's search ends with exit code "
                     f"{theirs[0]}, Windows error {theirs[1]}, this "
                     f"listing's with {ours[0]}, {ours[1]}")
    tags = (report.get("archive-type", ""), report.get("setup-type", ""))
    if theirs == ours and tags != (search.archive_type, search.setup_type):
        found.append(f"the installer's search finds its items in types "
                     f"{tags}, this listing's in "
                     f"{(search.archive_type, search.setup_type)}")
    for kind in ("archive", "setup"):
        item = items.get(kind)
        own = search.items.get(kind)
        if item is None and own is None:
            continue
        if item is None or own is None:
            found.append(f"the installer's search takes "
                         f"{show_item(item) if item else 'no ' + kind}, "
                         f"this listing's "
                         f"{display_key(own.name) if own else 'none'}")
            continue
        choices = own.choices or [own.resource]
        matching = [r for r in choices
                    if r.rva == item.rva and r.size == item.size]
        if own.name != item.name or not matching:
            found.append(f"the installer's search takes {show_item(item)} "
                         f"as its {kind}, this listing's "
                         f"{display_key(own.name)}, {own.resource.size} "
                         f"bytes at RVA 0x{own.resource.rva:X}")
        elif (item.offset is not None and
              image.offset_of(item.rva)[0] != item.offset):
            found.append(f"the installer reads its {kind} from file offset "
                         f"{item.offset}, this listing from "
                         f"{image.offset_of(item.rva)[0]}")
        elif own.choices:
            found.append(f"the {kind} {display_key(own.name)} is carried in "
                         f"{len(own.choices)} languages, of which Windows "
                         "takes one by the user's language settings")
    return found
