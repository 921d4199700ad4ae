#!/usr/bin/env python3
"""RFC 5780 behaviour discovery over IPv6 against one STUN server, for the lab's IPv6 tests
while gatewise-cli cannot yet run its standard check over IPv6 (ipv6_test.sh uses the client
where it can).

    stun6_probe.py ADDRESS PORT

Prints key=value lines: local (this host's address toward the server), mapped, mapping and
filtering (endpoint-independent, address-dependent, address-and-port-dependent). Exit 0 when
the server answered with an OTHER-ADDRESS, 1 otherwise. Every wait is bounded: a request is
sent three times, 200 ms apart.
"""
import os
import socket
import struct
import sys

MAGIC = 0x2112A442
XOR_MAPPED, OTHER_ADDRESS, CHANGE_REQUEST = 0x0020, 0x802C, 0x0003
CHANGE_IP, CHANGE_PORT = 0x04, 0x02


def binding(sock, to, change=0):
    """The (xor-mapped, other-address) of the answer to a Binding request sent to `to`, or
    None when nothing answered."""
    tid = os.urandom(12)
    attrs = struct.pack("!HHI", CHANGE_REQUEST, 4, change) if change else b""
    request = struct.pack("!HHI", 0x0001, len(attrs), MAGIC) + tid + attrs
    for _ in range(3):
        sock.sendto(request, to)
        sock.settimeout(0.2)
        try:
            while True:
                data, _ = sock.recvfrom(2048)
                if len(data) >= 20 and data[8:20] == tid and data[0:2] == b"\x01\x01":
                    return attributes(data, tid)
        except socket.timeout:
            continue
    return None


def attributes(data, tid):
    mapped = other = None
    at = 20
    while at + 4 <= len(data):
        kind, length = struct.unpack("!HH", data[at:at + 4])
        value = data[at + 4:at + 4 + length]
        if kind in (XOR_MAPPED, OTHER_ADDRESS) and len(value) == 20 and value[1] == 2:
            port = struct.unpack("!H", value[2:4])[0]
            address = value[4:20]
            if kind == XOR_MAPPED:
                port ^= MAGIC >> 16
                mask = struct.pack("!I", MAGIC) + tid
                address = bytes(a ^ m for a, m in zip(address, mask))
                mapped = (socket.inet_ntop(socket.AF_INET6, address), port)
            else:
                other = (socket.inet_ntop(socket.AF_INET6, address), port)
        at += 4 + (length + 3) // 4 * 4
    return mapped, other


def fresh_socket():
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.bind(("::", 0))
    return s


def main():
    server = (sys.argv[1], int(sys.argv[2]))
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
        s.connect(server)  # sends nothing: only asks the routing table for the source address
        local = s.getsockname()[0]

    sock = fresh_socket()
    first = binding(sock, server)
    if not first or not first[0] or not first[1]:
        print("error=no usable answer from [%s]:%d" % server)
        return 1
    mapped, other = first
    second = binding(sock, (other[0], server[1]))
    third = binding(sock, other)
    if not second or not third:
        print("error=no answer from the other address")
        return 1
    if second[0] == mapped:
        mapping = "endpoint-independent"
    elif third[0] == second[0]:
        mapping = "address-dependent"
    else:
        mapping = "address-and-port-dependent"

    sock = fresh_socket()
    binding(sock, server)
    if binding(sock, server, CHANGE_IP | CHANGE_PORT):
        filtering = "endpoint-independent"
    elif binding(sock, server, CHANGE_PORT):
        filtering = "address-dependent"
    else:
        filtering = "address-and-port-dependent"
    print("local=%s\nmapped=%s\nmapping=%s\nfiltering=%s" % (local, mapped[0], mapping, filtering))
    return 0


if __name__ == "__main__":
    sys.exit(main())
