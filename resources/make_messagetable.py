#!/usr/bin/env python3
"""Writes the language-neutral message table of qarlov.exe.

The binary has the MESSAGE_RESOURCE_DATA layout: the number of blocks; per
block the low id, the high id and the offset of its entries; per entry its
length, the flags (1: UTF-16 text) and the NUL-terminated text, padded to a
multiple of four bytes, the blocks in the order of their ids. Every event the
program reports carries its text as the one insertion string, so the table
only frames it.
"""
import struct
import sys

MESSAGES = [
    (0x40000001, "%1\r\n"),                        # information
    (0x80000002, "%1\r\n"),                        # warning and unknown level
    (0x80000064, "%1\r\n"),                        # the Message action's detections, with EVENTID 100
    (0xC0000003, "%1\r\n"),                        # error
    (0xC00003E8, "Hello %1. How do you do?\r\n"),  # never reported
]


def entry(text):
    data = (text + "\0").encode("utf-16-le")
    data += b"\0" * (-(len(data) + 4) % 4)
    return struct.pack("<HH", len(data) + 4, 1) + data


def table(messages):
    header_size = 4 + 12 * len(messages)
    blocks, entries = b"", b""
    for message_id, text in messages:
        blocks += struct.pack("<III", message_id, message_id, header_size + len(entries))
        entries += entry(text)
    return struct.pack("<I", len(messages)) + blocks + entries


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(table(MESSAGES))
