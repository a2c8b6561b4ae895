"""The listing of an installer: every resource of the payload types as
stored, the payload items among them described (item_content.py), the
previous-version text as the installer accepts it, the installer's own
manifest and whether the image is signed."""

from .contract import CONTRACT
from .item_content import brief, describe_content, display_key
from .payload_search import PAYLOAD_TYPES
from .pe_image import SECURITY_DIRECTORY
from .start_policy import describe_execution_level, program_manifest


# The previous-version text is RT_RCDATA with the number the contract
# gives.
RT_RCDATA = 10
PREVIOUS_VERSION_ID = CONTRACT.previous_version_resource


# Entries of a payload type, and languages of a name, that the listing
# shows; the search never gets past a type's third name.
LISTED_ENTRIES = 32
LISTED_LANGUAGES = 8


def display_type(key):
    if key == RT_RCDATA:
        return "RT_RCDATA"
    return key if isinstance(key, str) else f"#{key}"


def previous_version_text(resource):
    """The text as the installer accepts it (an even, non-zero size ending in
    a zero unit), or why it is not accepted."""
    data = resource.data
    if len(data) != resource.size:
        return None, "cut short"
    if resource.size == 0 or resource.size % 2:
        return None, f"{resource.size} bytes, not a whole UTF-16 text"
    if data[-2:] != b"\0\0":
        return None, "not terminated by a zero unit"
    units = bytes(data).decode("utf-16-le", "replace")
    return units[:units.index("\0")], None


def payload_lines(directory, items, findings, tests):
    """Every resource of the payload types as stored (as many as the
    listing shows), the payload items among them judged; an item that the
    installer's search took and this listing does not see is listed after
    them."""
    lines = []
    shown = set()
    for type_key in PAYLOAD_TYPES:
        table = directory.type_table(type_key)
        if table is None:
            continue
        entries, total = directory.entries(table, LISTED_ENTRIES)
        for field, target in entries:
            name = directory.key(field)
            if field & 0x80000000 and directory.name_length(field) > len(
                    name):
                name += "..."  # cut for the listing; never an item
            if not target & 0x80000000:
                lines.append(f"  {type_key} {display_key(name)}: no "
                             "languages")
                continue
            languages, count = directory.entries(target & 0x7FFFFFFF,
                                                 LISTED_LANGUAGES)
            for language, leaf in languages:
                resource = (None if leaf & 0x80000000 else directory.leaf(
                    type_key, name, language & 0xFFFF, leaf))
                if resource is None:
                    lines.append(f"  {type_key} {display_key(name)} language "
                                 f"{language & 0xFFFF}: no data entry")
                    continue
                item = next((i for kind, i in items.items()
                             if kind not in shown and i.describes(resource)),
                            None)
                if item is not None:
                    shown.add(item.kind)
                lines += resource_lines(type_key, resource, item, findings,
                                        tests)
            if count > len(languages):
                lines.append(f"  {type_key} {display_key(name)}: "
                             f"{count - len(languages)} more languages")
        if total > len(entries):
            lines.append(f"  {type_key}: {total - len(entries)} more "
                         "resources, which the search never reaches")
    for kind, item in items.items():
        if kind not in shown:
            head = (f"  {item.type or '?'} {display_key(item.name)}, "
                    f"{item.size} bytes (taken by the installer's search, "
                    "not found by this listing)")
            content = describe_content(item, findings, tests)
            lines.append(f"{head}: {content[0]}")
            lines += ["  " + line for line in content[1:]]
    return lines


def resource_lines(type_key, resource, item, findings, tests):
    head = (f"  {display_type(type_key)} {display_key(resource.name)}"
            f" language {resource.language}, {resource.size} bytes")
    if len(resource.data) < resource.size:
        head += f" (the file holds only {len(resource.data)})"
    if item is None:
        return [f"{head}: {brief(resource.data)}"]
    content = describe_content(item, findings, tests)
    return [f"{head}: {content[0]}"] + ["  " + line for line in content[1:]]


def listing(path, image, directory, items, findings, tests):
    lines = [f"installer: {path} ({len(image.data)} bytes)",
             "payload resources (in the order searched):"]
    if directory is None:
        lines.append("  (the resource directory cannot be read)")
        payload = []
        versions = []
        for item in items.values():
            content = describe_content(item, findings, tests)
            payload += [f"  {item.type or '?'} {display_key(item.name)}, "
                        f"{item.size} bytes: {content[0]}"]
            payload += ["  " + line for line in content[1:]]
    else:
        payload = payload_lines(directory, items, findings, tests)
        versions = directory.languages(RT_RCDATA, PREVIOUS_VERSION_ID,
                                       LISTED_LANGUAGES)
    if not payload and not versions:
        lines.append("  none")
    lines += payload
    for resource in versions:
        lines.append(f"  RT_RCDATA #1 language {resource.language}, "
                     f"{resource.size} bytes: previous-version text")
    if not versions:
        lines.append("previous version: none")
    for resource in versions:
        text, problem = previous_version_text(resource)
        where = f" (language {resource.language})" if len(versions) > 1 else ""
        if problem:
            lines.append(f"previous version: none, the resource is not "
                         f"accepted{where}: {problem}")
        else:
            lines.append(f"previous version: \"{text}\"{where}")
    try:
        own = describe_execution_level(
            program_manifest(directory) if directory else None)
    except ValueError as problem:
        own = f"not read ({problem})"
    lines.append(f"installer's own manifest: {own}")
    offset, size = image.directory(SECURITY_DIRECTORY)
    if size:
        lines.append(f"Authenticode signature: present ({size} bytes at file "
                     f"offset {offset})")
    else:
        lines.append("Authenticode signature: absent")
    return lines
