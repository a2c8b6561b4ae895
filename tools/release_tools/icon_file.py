"""An .ico file as an image's icon resources: its images become RT_ICON
entries and its directory an RT_GROUP_ICON entry that names them. Bounded:
the file is checked against its own directory before anything is taken."""
import struct

MAX_IMAGES = 64
MAX_SIZE = 16 << 20
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class IconError(ValueError):
    pass


def read_icon_file(path):
    """[(width, height, colors, planes, bit count, image bytes)], or
    IconError when the file is not an icon that Windows reads."""
    with open(path, "rb") as f:
        data = f.read(MAX_SIZE + 1)
    if len(data) > MAX_SIZE:
        raise IconError(f"{path!r} is larger than {MAX_SIZE} bytes")
    if len(data) < 6:
        raise IconError(f"{path!r} is not an icon file (too short)")
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1:
        raise IconError(f"{path!r} is not an icon file (.ico)")
    if not 1 <= count <= MAX_IMAGES or 6 + 16 * count > len(data):
        raise IconError(f"{path!r} has a damaged icon directory")
    images = []
    for i in range(count):
        (width, height, colors, _, planes, bits, size,
         offset) = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if size < 8 or offset + size > len(data) or offset < 6 + 16 * count:
            raise IconError(f"{path!r}: image {i + 1} lies outside the file")
        image = data[offset:offset + size]
        if not (image.startswith(PNG_SIGNATURE) or
                struct.unpack_from("<I", image)[0] == 40):
            raise IconError(f"{path!r}: image {i + 1} is neither PNG nor a "
                            "bitmap")
        images.append((width, height, colors, planes, bits, image))
    return images


def group_icon(images, first_id):
    """The RT_GROUP_ICON bytes for `images`, numbered from `first_id`."""
    group = struct.pack("<HHH", 0, 1, len(images))
    for i, (width, height, colors, planes, bits, image) in enumerate(images):
        group += struct.pack("<BBBBHHIH", width, height, colors, 0, planes,
                             bits, len(image), first_id + i)
    return group
