"""Telegrams as meters send them, the daemon's reading of them, and its export file."""

import base64
import xml.dom.minidom
import xml.etree.ElementTree as ElementTree

from harness import facts

NS = "{urn:zol-meter:temp-1-0}"


class ExportError(Exception):
    pass


def bcd(number):
    """Eight decimal digits, least significant pair first, as the id field carries them."""
    return bytes.fromhex("%08d" % number)[::-1]


def telegram(meter_id, manufacturer=0x0443, device_type=0x07, version=0x01, payload=b"\x7a\x00\x00\x00\x00"):
    """A wireless M-Bus telegram as a meter sends it: L counts the bytes after itself."""
    body = bytes([0x44]) + manufacturer.to_bytes(2, "little") + bcd(meter_id) + bytes([version, device_type])
    body += payload
    return bytes([len(body)]) + body


def volume_payload(counter, reading):
    """CI 0x7A short header with an access counter, then one volume record (DIF 0x0C,
    VIF 0x13, eight BCD digits)."""
    return bytes([0x7A, counter % 256, 0, 0, 0, 0x0C, 0x13]) + bcd(reading % 100000000)


def random_manufacturer(rng):
    """A three-letter manufacturer code, five bits a letter."""
    return rng.randrange(1, 27) << 10 | rng.randrange(1, 27) << 5 | rng.randrange(1, 27)


def meters_settings(ids):
    """Settings naming these meters in slots 1, 2, ..."""
    return "".join("%s%d=%d\n" % (facts.METER_KEY_PREFIX, slot + 1, meter_id) for slot, meter_id in enumerate(ids))


# ---------------------------------------------------------------- the daemon's reading

def decoded_id(data):
    """The identification number as the daemon decodes it: nibbles above 9 count as they are."""
    value = 0
    for position, scale in ((4, 1), (5, 100), (6, 10000), (7, 1000000)):
        value += ((data[position] >> 4) * 10 + (data[position] & 15)) * scale
    return value


def meter_info(data):
    """(id, device_type, manufacturer, trailer) of a piece, or None when it holds no header."""
    if len(data) < facts.HEADER_SIZE or data[0] < facts.MIN_LENGTH_BYTE:
        return None
    return (decoded_id(data), data[9], data[2] | data[3] << 8, data[-1])


def expected_raw(burst):
    """What the export must carry for this burst: its last byte zeroed, then the
    first L bytes, never more than the burst."""
    data = bytearray(burst)
    data[-1] = 0
    return bytes(data[:min(data[0], len(data))])


# ---------------------------------------------------------------- the export file

def export_name(meter_id, date):
    return "%08d_%s.xml" % (meter_id, date)


def parse_export(document):
    """Parses with a real XML parser; returns the Push element and the raw bytes.
    Raises ExportError when the document is not the daemon's."""
    try:
        xml.dom.minidom.parseString(document)
        root = ElementTree.fromstring(document)
    except Exception as error:  # expat's errors differ between the two parsers
        raise ExportError("not well-formed XML: %s" % error)
    if root.tag != NS + "Envelope":
        raise ExportError("root element %r, expected %r" % (root.tag, NS + "Envelope"))
    push = root.find(NS + "Push")
    raw = push.find(NS + "Meter/" + NS + "Raw") if push is not None else None
    if raw is None or raw.get("encoding") != "base64":
        raise ExportError("no Raw element with encoding base64")
    try:
        return push, base64.b64decode(raw.text or "", validate=True)
    except ValueError as error:
        raise ExportError("Raw is no Base64: %s" % error)


def meter_element(push, name):
    """A child of the export's Meter element, such as StoreTime."""
    return push.find(NS + "Meter/" + NS + name) if name else push.find(NS + "Meter")
