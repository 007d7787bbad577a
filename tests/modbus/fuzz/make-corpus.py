#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_request: one file per request, byte 0 the mode (0 TCP,
3 RTU with a CRC appended by the target, 0x10 the TLS server's side), then the frame."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def mbap(pdu, unit=1, tid=1, proto=0, length=None):
    return struct.pack(">HHH", tid, proto, len(pdu) + 1 if length is None else length) + bytes([unit]) + pdu


PDUS = {
    "read-coils": bytes([0x01, 0, 10, 0, 20]),
    "read-inputs": bytes([0x02, 0, 0, 0, 8]),
    "read-holding": bytes([0x03, 0, 0, 0, 10]),
    "read-input-registers": bytes([0x04, 1, 0, 0, 4]),
    "write-coil": bytes([0x05, 0, 7, 0xFF, 0]),
    "write-register": bytes([0x06, 0, 9, 0x12, 0x34]),
    "write-coils": bytes([0x0F, 0, 0, 0, 10, 2, 0xFF, 0x03]),
    "write-registers": bytes([0x10, 0, 3, 0, 2, 4, 0, 1, 0, 2]),
    "report-slave-id": bytes([0x11]),
    "mask-write": bytes([0x16, 0, 4, 0xF2, 0xF2, 0x00, 0x25]),
    "write-and-read": bytes([0x17, 0, 0, 0, 3, 0, 1, 0, 2, 4, 0xAA, 0xBB, 0xCC, 0xDD]),
    # broken ones
    "unknown-function": bytes([0x63, 0, 0, 0, 1]),
    "read-count-zero": bytes([0x03, 0, 0, 0, 0]),
    "read-past-end": bytes([0x03, 0x01, 0xF4, 0, 1]),
    "write-coil-bad-value": bytes([0x05, 0x02, 0x58, 0x12, 0x34]),
    "write-registers-short-count": bytes([0x10, 0, 0, 0, 123, 2, 0, 0]),
}


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


os.makedirs(HERE, exist_ok=True)
for name, pdu in PDUS.items():
    write(f"tcp-{name}", b"\x00" + mbap(pdu))
    write(f"rtu-{name}", b"\x03" + bytes([1]) + pdu)
write("tcp-protocol-5", b"\x00" + mbap(PDUS["read-holding"], proto=5))
write("tcp-length-0", b"\x00" + mbap(PDUS["read-holding"], length=0))
write("tcp-length-300", b"\x00" + mbap(PDUS["read-holding"], length=300))
write("tcp-other-unit", b"\x00" + mbap(PDUS["read-holding"], unit=2))
write("tcp-two-requests", b"\x00" + mbap(PDUS["read-holding"]) + mbap(PDUS["write-registers"], tid=2))
write("rtu-broadcast-write", b"\x03" + bytes([0]) + PDUS["write-register"])
write("rtu-two-frames", b"\x03" + bytes([1]) + PDUS["read-holding"] + b"\xFF\xFE" + bytes([1]) + PDUS["write-coil"])
write("rtu-bad-crc", b"\x01" + bytes([1]) + PDUS["read-holding"] + b"\x00\x00")
# Write access 1 (bits 2-3 of byte 0) with writes onto published registers, and 2 with writes.
write("tcp-access1-write-registers", b"\x04" + mbap(bytes([0x10, 0, 19, 0, 3, 6, 0, 1, 0, 2, 0, 3])))
write("tcp-access1-write-and-read", b"\x04" + mbap(bytes([0x17, 0, 0, 0, 2, 0, 33, 0, 1, 2, 0xAA, 0xBB])))
write("rtu-access1-write-coils", b"\x07" + bytes([1]) + bytes([0x0F, 0, 5, 0, 4, 1, 0x0F]))
write("tcp-access2-write-coil", b"\x08" + mbap(PDUS["write-coil"]))
write("rtu-access2-broadcast-write", b"\x0B" + bytes([0]) + PDUS["write-register"])
write("rtu-access2-mask-write", b"\x0B" + bytes([1]) + PDUS["mask-write"])
# The TLS server's side: a reading master, and one whose role may not write (access 2).
write("tls-two-requests", b"\x10" + mbap(PDUS["read-holding"]) + mbap(PDUS["write-registers"], tid=2))
write("tls-readonly-write-and-read", b"\x18" + mbap(PDUS["write-and-read"]))
