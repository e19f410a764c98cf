#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (corpus/<target>/*), in the byte code that each target
reads (see the comment at the top of each *Fuzzer.cpp and FuzzInput.h). Run it again after
changing a target's byte code; libFuzzer keeps what it finds on its own in the build folder.

    tests/fuzz/make_seeds.py
"""

import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def fourcc(text):
    return struct.unpack(">I", text.encode("ascii"))[0]


def u8(value):
    return bytes([value & 0xFF])


def u16(value):
    return struct.pack("<H", value & 0xFFFF)


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def u64(value):
    return struct.pack("<Q", value & 0xFFFFFFFFFFFFFFFF)


def arbitrary(value):
    """A pick of a value outside the target's list."""
    return u8(0xF0) + u32(value)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as seed:
        seed.write(data)


# ---- driver_fuzzer ------------------------------------------------------------------------------

ROOT = os.path.dirname(os.path.dirname(HERE))


def read_codes():
    """Each platform constant's four-character code, from the substitute's headers."""
    codes = {}
    folder = os.path.join(ROOT, "platform", "include", "CoreAudio")
    for header in os.listdir(folder):
        with open(os.path.join(folder, header)) as text:
            for name, value in re.findall(r"(kAudio\w+)\s*=\s*('.{4}'|kAudio\w+)", text.read()):
                codes[name] = value
    # Some are defined as others: kAudioStreamPropertyLatency = kAudioDevicePropertyLatency.
    resolved = {}
    for name, value in codes.items():
        while value in codes and not value.startswith("'"):
            value = codes[value]
        if value.startswith("'"):
            resolved[name] = value.strip("'")
    return resolved


def read_known_selectors():
    """kKnownSelectors of tests/support/PropertySelectors.h, in order, as four-character codes."""
    with open(os.path.join(ROOT, "tests", "support", "PropertySelectors.h")) as text:
        header = text.read()
    body = header[header.index("kKnownSelectors"):]
    body = body[:body.index("});")]
    codes = read_codes()
    return [codes[name] for name in re.findall(r"^\s*(kAudio\w+),", body, re.MULTILINE)]


SELECTORS = read_known_selectors()


def selector(name):
    return SELECTORS.index(name)


OPERATIONS = {name: index for index, name in enumerate([
    "HasProperty", "IsPropertySettable", "GetPropertyDataSize", "GetPropertyData", "SetPropertyData",
    "AddClient", "RemoveClient", "StartIO", "StopIO", "GetZeroTimeStamp", "WillDoIOOperation", "Cycles",
    "IOOperation", "RequestChange", "PerformChange", "AbortChange", "DriverEntry", "Initialize"])}

DEVICE, STREAM, PLUGIN, NOBODY, STRANGER, HIGHEST = range(6)  # kObjectIDs
GLOBAL, OUTPUT, INPUT, WILDCARD_SCOPE, PLAYTHROUGH = range(5)  # kScopes
SIZES = [0, 4, 8, 40, 1, 3, 7, 12, 16, 24, 39, 56, 64, 100, 256, 4096, 0xFFFFFFFF, 0x80000000]
CLIENT_1, CLIENT_2 = 0, 1  # kClientIDs
IO = {"rite": 0, "pmix": 1, "mixo": 2, "read": 3, "pinp": 4, "cycl": 5, "thrd": 6}  # kOperations
FRAMES = [512, 0, 1, 2, 511, 513, 960, 961, 1000, 1920, 4096, 16384, 0xFFFFFFFF]
SCALARS = [0, 1, 2, 512, 48000, 0xFFFFFFFF, 0x80000000]
RATES = [48000.0, 44100.0, 96000.0, 0.0, -48000.0, 1e-300, 1e300]
THE_DRIVER = 0


def op(name):
    return u8(OPERATIONS[name])


def address(name, scope=GLOBAL, element=0):
    return u8(selector(name)) + u8(scope) + u8(element)


def size(value):
    return u8(SIZES.index(value)) if value in SIZES else arbitrary(value)


def no_qualifier():
    return size(0) + u8(0)


def uid_qualifier():
    return size(8) + u8(0) + u8(1)


def initialize():
    return op("Initialize") + u8(0) + u8(THE_DRIVER)


def get(target, name, scope=GLOBAL, offered=4096, qualifier=None):
    return (op("GetPropertyData") + u8(target) + address(name, scope) + (qualifier or no_qualifier())
            + size(offered) + u8(0) + u8(THE_DRIVER))


def get_size(target, name, scope=GLOBAL, qualifier=None):
    return (op("GetPropertyDataSize") + u8(target) + address(name, scope) + (qualifier or no_qualifier())
            + u8(0) + u8(THE_DRIVER))


def set_rate(rate):
    return (op("SetPropertyData") + u8(DEVICE) + address("nsrt") + no_qualifier() + size(8) + u8(1)
            + u8(RATES.index(rate)) + u8(0) + u8(THE_DRIVER))


def client(name, client_id=CLIENT_1):
    return op(name) + u8(DEVICE) + u8(client_id) + u16(4242) + u8(1) + u8(0) + u8(0) + u8(THE_DRIVER)


def io(name, client_id=CLIENT_1):
    return op(name) + u8(DEVICE) + u8(client_id) + u8(THE_DRIVER)


def will_do(operation):
    return op("WillDoIOOperation") + u8(DEVICE) + u8(CLIENT_1) + u8(IO[operation]) + u8(0) + u8(THE_DRIVER)


def cycles(frames, count):
    return op("Cycles") + u8(FRAMES.index(frames)) + u8(count - 1)


def request(which, value):
    return op("RequestChange") + u8(which) + u8(SCALARS.index(value))


def available_rates(*rates):
    data = op("RequestChange") + u8(3) + u8(len(rates))
    for rate in rates:
        data += u8(RATES.index(rate)) + u8(1)
    return data


def answer(name):
    return op(name) + u8(0)


def driver_seeds():
    # One object per seed: the target runs at most 256 operations of an input.
    for target, name in ((PLUGIN, "plugin"), (DEVICE, "device"), (STREAM, "stream")):
        everything = initialize()
        for code in dict.fromkeys(SELECTORS):
            everything += get_size(target, code) + get(target, code) + get(target, code, OUTPUT)
        if target == PLUGIN:
            everything += get(PLUGIN, "uidd", qualifier=uid_qualifier())
        write("driver_fuzzer", "read_" + name, everything)

    play = initialize() + client("AddClient") + will_do("pmix") + will_do("rite") + io("StartIO")
    play += op("GetZeroTimeStamp") + u8(DEVICE) + u8(CLIENT_1) + u8(0) + u8(THE_DRIVER)
    play += cycles(512, 8) + cycles(1000, 2) + cycles(960, 1) + get(DEVICE, "goin")
    play += client("AddClient", CLIENT_2) + io("StartIO", CLIENT_2) + cycles(512, 4) + io("StopIO", CLIENT_2)
    play += io("StopIO") + io("StartIO") + cycles(512, 4) + io("StopIO") + client("RemoveClient")
    write("driver_fuzzer", "play", play)

    change = initialize() + request(0, 512) + request(1, 2) + request(2, 512) + available_rates(48000.0, 44100.0)
    change += answer("PerformChange") + answer("PerformChange") + answer("AbortChange") + answer("PerformChange")
    change += set_rate(44100.0) + io("StartIO") + cycles(512, 2) + answer("PerformChange") + cycles(512, 2)
    change += get(DEVICE, "nsrt") + set_rate(48000.0) + answer("AbortChange") + io("StopIO")
    write("driver_fuzzer", "change_configuration", change)

    # Null addresses and references, wrong objects, odd sizes, operations nobody does.
    bad = initialize()
    bad += op("HasProperty") + u8(DEVICE) + u8(0xFF) + u16(1) + u8(THE_DRIVER)
    bad += op("GetPropertyData") + u8(DEVICE) + u8(0xFF) + no_qualifier() + size(4) + u8(0) + u8(THE_DRIVER)
    bad += get(DEVICE, "goin", offered=3) + get(DEVICE, "goin", offered=0xFFFFFFFF) + get(NOBODY, "lnam")
    bad += get(STRANGER, "clas") + get(PLUGIN, "uidd", qualifier=size(4) + u8(0) + u32(1))
    bad += (op("SetPropertyData") + u8(STREAM) + address("pft ") + no_qualifier() + size(40) + u8(3)
            + u8(0) + u8(3) + u8(3) + u8(1) + u8(0) + u8(THE_DRIVER))
    bad += io("StopIO") + io("StartIO") + op("IOOperation") + u8(DEVICE) + u8(STREAM) + u8(CLIENT_1) + u8(IO["rite"])
    bad += u8(FRAMES.index(0xFFFFFFFF)) + u8(1) + u32(0) + u8(THE_DRIVER) + u8(1)
    bad += op("IOOperation") + u8(DEVICE) + u8(DEVICE) + u8(CLIENT_1) + u8(IO["pmix"]) + u8(0) + u8(2)
    bad += b"\0" * 64 + u32(0) + u8(THE_DRIVER) + u8(1)
    bad += io("StopIO") + op("GetZeroTimeStamp") + u8(PLUGIN) + u8(CLIENT_1) + u8(7) + u8(0x7F)
    bad += op("AddClient") + u8(DEVICE) + u8(CLIENT_1) + u16(1) + u8(1) + u8(3) + u64(7) + u8(0) + u8(THE_DRIVER)
    bad += op("RemoveClient") + u8(DEVICE) + u8(CLIENT_2) + u16(1) + u8(1) + u8(0) + u8(1) + u8(THE_DRIVER)
    bad += op("PerformChange") + u8(0xFF) + u8(THE_DRIVER) + u8(DEVICE) + u64(12345)
    write("driver_fuzzer", "bad_arguments", bad)

    entries = op("DriverEntry") + u8(0) + u8(0) + u8(0) + u8(THE_DRIVER)
    entries += op("DriverEntry") + u8(0) + u8(1) + u8(0) + u8(THE_DRIVER)
    entries += op("DriverEntry") + u8(0) + u8(2) + b"\x11" * 16 + u8(1) + u8(THE_DRIVER)
    entries += op("DriverEntry") + u8(1) + u8(THE_DRIVER) + op("DriverEntry") + u8(2) + u8(0x7F)
    entries += op("DriverEntry") + u8(3) + u8(0) + u8(0) + u8(THE_DRIVER)
    entries += op("DriverEntry") + u8(4) + u8(THE_DRIVER) + u8(DEVICE)
    entries += op("Initialize") + u8(1) + u8(THE_DRIVER) + initialize()
    write("driver_fuzzer", "driver_entries", entries)


# ---- server_fuzzer ------------------------------------------------------------------------------

SYSTEM_SELECTORS = ["dev#", "dOut", "sOut", "dIn ", "uidd", "plg#", "bidp"]  # kSystemSelectors


def framed(kind, payload):
    return u8(0) + u8(kind - 1) + u16(len(payload)) + payload + u8(0)


def value_bytes(data):
    return u8(1) + u32(len(data)) + data


def value_string(text):
    data = text.encode("utf-8")
    return u8(2) + u8(1) + u32(len(data)) + data


def request_payload(object_id, selector_code, qualifier=b"\0", data_size=None, data=None):
    payload = u32(object_id) + u32(fourcc(selector_code)) + u32(fourcc("glob")) + u32(0) + qualifier
    if data_size is not None:
        payload += u32(data_size)
    if data is not None:
        payload += data
    return payload


def built(kind, object_index, system_selector=None, known=None):
    """A request built field by field: no qualifier and no data."""
    if system_selector:
        choice = SYSTEM_SELECTORS.index(system_selector)
    else:
        # Picked as choice % len(SELECTORS), from 0x40 on.
        index = SELECTORS.index(known)
        choice = index + len(SELECTORS) * -(-(0x40 - index) // len(SELECTORS))
    return u8(2) + u8(kind - 1) + u8(object_index) + u8(choice) + u8(0) + u8(0) + u8(0) + u8(1) + u8(0)


def server_seeds():
    has, size_of, get, set_ = 1, 2, 3, 4
    listing = framed(get, request_payload(1, "dev#", data_size=64))
    listing += framed(get, request_payload(1, "dOut", data_size=4))
    listing += framed(get, request_payload(1, "uidd", value_string("local.pelio.audio.iphone.output"), 4))
    listing += framed(has, request_payload(2, "lnam")) + framed(size_of, request_payload(2, "lnam"))
    listing += framed(get, request_payload(2, "lnam", data_size=8))
    listing += framed(set_, request_payload(1, "dOut", data=value_bytes(u32(2))))
    write("server_fuzzer", "property_requests", listing)

    fields = b"".join(built(kind, 0, system_selector=name) for kind in (1, 2, 3) for name in SYSTEM_SELECTORS)
    fields += b"".join(built(3, object_index, known=name)
                       for object_index in (1, 2, 3) for name in ("lnam", "uid ", "nsrt", "goin", "stm#", "pft "))
    write("server_fuzzer", "built_requests", fields)

    broken = framed(get, request_payload(1, "dev#", data_size=0xFFFFFFFF))
    broken += u8(1) + u8(12) + u32(fourcc("SHLP")) + u16(1) + u16(3) + u32(0)
    write("server_fuzzer", "broken_messages", broken)


# ---- datagram_fuzzer ----------------------------------------------------------------------------

STEPS = [1, 1, 1, 2, 0, -1, 100, 116, 117, 99, -3, 5000, -200, 4097]  # kSequenceSteps
FRAME_COUNTS = [512, 960, 1, 40, 961, 0, 0xFFFF]  # kFrameCounts


def packet(step_index, frames_index, delay_us=10667, samples=b""):
    return u8(1) + u8(step_index) + u8(frames_index) + u8(len(samples) // 4) + samples + u16(delay_us)


def raw(data, delay_us=100):
    return u8(0) + u16(len(data)) + data + u16(delay_us)


def datagram_seeds():
    steady = u32(100) + b"".join(packet(0, 0) for _ in range(40))
    write("datagram_fuzzer", "steady_stream", steady)

    troubled = u32(0xFFFFFFF0) + packet(0, 0) * 20 + packet(3, 0) + packet(5, 0) + packet(4, 0) + packet(6, 0)
    troubled += packet(7, 1) + packet(10, 2) + packet(11, 3) + packet(12, 0) + packet(13, 0)
    nan = struct.pack("<f", float("nan")) + struct.pack("<f", float("inf")) + struct.pack("<f", -1e38) + u32(1)
    troubled += packet(0, 0, samples=nan) + packet(0, 4) + packet(0, 5) + packet(0, 6)
    troubled += raw(b"PELO" + u32(1) + u32(48000) + u16(2) + u16(1)) + raw(b"PEL") + raw(b"XXXX" + b"\0" * 20)
    write("datagram_fuzzer", "troubled_stream", troubled)


if __name__ == "__main__":
    driver_seeds()
    server_seeds()
    datagram_seeds()
