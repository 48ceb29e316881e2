#!/usr/bin/python3
"""Reads header blocks, each ended by an empty line, from standard input
with Python's email package (policy.default), and prints for each block the
file name of Content-Disposition and the name of Content-Type as hex of
their UTF-8, separated by a space: what mime_parts_test compares with the
names it wrote."""

import email
import email.policy
import sys

for block in sys.stdin.buffer.read().split(b"\r\n\r\n")[:-1]:
    message = email.message_from_bytes(block + b"\r\n\r\n", policy=email.policy.default)
    filename = message.get_filename() or ""
    name = message["content-type"].params.get("name") or ""
    print(filename.encode().hex(), name.encode().hex())
