#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ (checked in; run again only to change them)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def empty(code):
    return struct.pack(">HI", 6, code)


def port(code, p):
    return struct.pack(">HIH", 8, code, p)


def endpoint(code, a, p):
    return struct.pack(">HI4sH", 12, code, bytes(a), p)


# Datagram readers.
put("fuzz_datagram", "binding_request", empty(0x74777002))
put("fuzz_datagram", "binding_reply", endpoint(0x7C777002, [198, 18, 0, 1], 40000))
put("fuzz_datagram", "port_reply", port(0x7C77700E, 61000))
put("fuzz_datagram", "friend_search", endpoint(0x7477700D, [127, 0, 0, 10], 7000))
put("fuzz_datagram", "one_byte", b"\x74")
put("fuzz_datagram", "longest", bytes(range(256)) + bytes(44))
put("fuzz_datagram", "too_long", bytes(301))

# Engine: op bytes as fuzz_engine.cpp reads them.
TICK, WAIT, DATAGRAM, AWAITED, START, FLOOD = 0, 1, 2, 3, 4, 5


def awaited(addr, p, length_index=2, flags=0):
    # Body address and port, then the length choice and the socket slot.
    return bytes([AWAITED | flags]) + bytes(addr) + struct.pack(">H", p) + bytes([length_index, 0])


full_cone = bytes([START])
full_cone += awaited([198, 18, 0, 1], 40000)          # step 1: mapped address
full_cone += awaited([0, 0, 0, 0], 0, 0)              # step 2: change ack
full_cone += awaited([0, 0, 0, 0], 0, 0, 0x20)        # step 3: from Server2
full_cone += awaited([198, 18, 0, 1], 40000, 2, 0x20)  # step 5: Server2 binding
for _ in range(6):
    full_cone += awaited([0, 0, 0, 0], 40001, 1)      # allocation and exceptional replies
put("fuzz_engine", "full_cone_check", full_cone)
# No reply in step 3: Server2's binding (step 5), then no port-change reply (step 4).
port_restricted = bytes([START]) + awaited([198, 18, 0, 1], 40000) + awaited([0] * 4, 0, 0)
port_restricted += bytes([TICK]) * 13 + awaited([198, 18, 0, 1], 40000, 2, 0x20)
port_restricted += bytes([TICK]) * 13 + awaited([0] * 4, 0, 1) * 3 + bytes([TICK]) * 40
put("fuzz_engine", "port_restricted_check", port_restricted)
put("fuzz_engine", "timeouts", bytes([START]) + bytes([TICK]) * 80)
put("fuzz_engine", "open_check", bytes([START]) + awaited([127, 0, 0, 77], 40000) + bytes([TICK]) * 30)
flood = bytes([FLOOD, 200]) + bytes(range(256)) * 6 + bytes([WAIT, 125]) + bytes([FLOOD, 50])
put("fuzz_engine", "search_flood", flood)
put("fuzz_engine", "stray_datagram",
    bytes([DATAGRAM, 11]) + endpoint(0x7C77700E, [1, 2, 3, 4], 5) + bytes([2, 0, 0, 4]))

# Quick check: op bytes as fuzz_quick.cpp reads them (the low two bits pick the event).
Q_TIMER, Q_DATAGRAM, Q_AWAITED, Q_START = 0, 1, 2, 3


def q_awaited(index, addr, p, flags=0, sender_port=None):
    # Which reply, body address and port, then (flag 0x10) the sender's port, and the length.
    out = bytes([Q_AWAITED | flags, index]) + bytes(addr) + struct.pack(">H", p)
    if sender_port is not None:
        out += struct.pack("<H", sender_port)  # kept as the record holds it, network order
    return out + bytes([2])


measured = q_awaited(0, [198, 18, 0, 1], 40000) + q_awaited(1, [198, 18, 0, 1], 40000)
measured += q_awaited(1, [198, 18, 0, 1], 40000, 0x30, 0x1BBC)
every_reply = measured
for index in range(2, 14):
    every_reply += q_awaited(index, [198, 18, 0, 1], 40001)
put("fuzz_quick", "every_reply", every_reply + bytes([Q_TIMER, 50]) * 40)
put("fuzz_quick", "silent_servers", bytes([Q_TIMER, 40]) * 40)
put("fuzz_quick", "tests_give_up", measured + bytes([Q_TIMER, 13]) * 60)

# Settings files.
put("fuzz_settings", "normal",
    b"[Setting]\r\nSTUN1_IP=127.0.0.10\r\nSTUN1_PORT=7000\r\nSTUN2_IP=127.0.0.20\r\n"
    b"STUN2_PORT=7100\r\nFRIEND_IP=0.0.0.0\r\nREPORT=lab@tarnwick.test\r\n")
put("fuzz_settings", "duplicates",
    b"[setting]\nstun1_ip = 127.0.0.1\nSTUN1_IP=127.0.0.2\n[Setting]\nSTUN1_IP=127.0.0.3\n")
put("fuzz_settings", "missing_section", b"STUN1_IP=127.0.0.10\nSTUN1_PORT=7000\n[Other]\nA=1")
put("fuzz_settings", "binary", bytes(range(256)) + b"\n[Setting]\x00\nSTUN1_PORT=\xff\xfe7\n")
put("fuzz_settings", "long_line", b"[Setting]\nREPORT=" + b"x" * 5000 + b"\nSTUN1_PORT=70\n")
# Found by fuzzing: a last line cut between CR and LF.
put("fuzz_settings", "last_line_cut_cr", b"[Setting]\nREPORT = me@lab.test  \r")
put("fuzz_settings", "last_line_two_crs", b"[Setting\nFRIEND_IP = 10.0.1.1\r\r")
put("fuzz_settings", "open_bracket", b"[Setting\n;STUN1_IP=1.2.3.4\n  FRIEND_IP  =  10.0.0.1  \r")

# Probe handler: flags, then rounds of (socket, sender choice, sender, port, time, length, bytes).
def round_(sock, data, partner=False, addr=(127, 0, 0, 9), p=40000):
    # From the partner the target reads no address.
    return (bytes([sock, 1 if partner else 0]) + (b"" if partner else bytes(addr)) +
            struct.pack(">H", p) + bytes([1, 0, len(data)]) + data)


put("fuzz_probe_handler", "one_process",
    bytes([3]) + round_(0, empty(0x74777002)) + round_(0, empty(0x74777003)) +
    round_(1, empty(0x74777008)) + round_(0, empty(0x74777006)) + round_(3, empty(0x7477700E)))
put("fuzz_probe_handler", "split_server1", bytes([5]) + round_(0, endpoint(0x74777003, [0] * 4, 0)))
put("fuzz_probe_handler", "split_server2_relay",
    bytes([6]) + round_(3, struct.pack(">HI", 60, 0x52777005) + bytes(54), True))
# STUN relays from the partner's address to an unkeyed split Server2 (rate limit off, all four
# addresses), stamped with the target's clock, naming 203.0.113.9:40000: one claiming a
# 0xFFFF-byte request padded with 1420 bytes, one without PADDING.
def stun_relay(request_length, padding):
    return (struct.pack(">HI", 78, 0x52777006) + bytes([203, 0, 113, 9]) +
            struct.pack(">HQQ", 40000, 1_700_000_000_000, 1_700_000_000_000_000) +
            bytes(range(1, 13)) + bytes([0, 0]) + struct.pack(">HH", request_length, padding) +
            bytes(32))


put("fuzz_probe_handler", "unkeyed_stun_relay_padded",
    bytes([0x3E]) + round_(3, stun_relay(0xFFFF, 1420), True))
put("fuzz_probe_handler", "unkeyed_stun_relay",
    bytes([0x3E]) + round_(3, stun_relay(0xFFFF, 0xFFFF), True))
# A handler with no role of its own but a partner, asked for a change by Server2's own socket
# (127.0.0.2:0x0A0A in the target): it used to relay for it, and the partner refused the relay.
put("fuzz_probe_handler", "no_role_change_from_server2_socket",
    bytes([0xB4]) + round_(0, empty(0x74777003), True, p=0x0A0A))
# STUN Binding requests with CHANGE-REQUEST (change IP and port), with all four addresses:
# answered in one process, relayed by a split Server1.
stun_change = (struct.pack(">HHI", 0x0001, 8, 0x2112A442) + bytes(range(1, 13)) +
               struct.pack(">HHI", 0x0003, 4, 6))
put("fuzz_probe_handler", "stun_one_process", bytes([19]) + round_(0, stun_change))
put("fuzz_probe_handler", "stun_split_server1", bytes([21]) + round_(0, stun_change))
# A Binding request with RESPONSE-PORT 40001, as the mapping lifetime test sends it: answered in
# one process at that port of the sender's address.
stun_response_port = (struct.pack(">HHI", 0x0001, 8, 0x2112A442) + bytes(range(1, 13)) +
                      struct.pack(">HHHH", 0x0027, 4, 40001, 0))
put("fuzz_probe_handler", "stun_response_port", bytes([19]) + round_(0, stun_response_port))
put("fuzz_stun", "response_port", stun_response_port)
# Both families in one process (flags 211: both roles, RFC 5780, both IPv6 roles, odd rounds
# over IPv6): a change of address and port and a RESPONSE-PORT request in each family.
put("fuzz_probe_handler", "stun_ipv6", bytes([211]) + round_(0, stun_change) +
    round_(0, stun_change, addr=(32, 1, 13, 184)) + round_(1, stun_response_port) +
    round_(1, stun_response_port, addr=(32, 1, 13, 184)))
# The same as an RFC 3489 client sends it: no magic cookie, the 128-bit ID in its place.
stun3489_change = (struct.pack(">HHI", 0x0001, 8, 0xA1A2A3A4) + bytes(range(1, 13)) +
                   struct.pack(">HHI", 0x0003, 4, 6))
put("fuzz_probe_handler", "stun3489_one_process", bytes([19]) + round_(0, stun3489_change))
put("fuzz_probe_handler", "stun3489_split_server1", bytes([21]) + round_(0, stun3489_change))
put("fuzz_probe_handler", "reply_codes", bytes([3]) + round_(0, empty(0x7C777002)) +
    round_(3, empty(0x77747005)))

# STUN codec: the RFC 5769 sample request and IPv4 and IPv6 responses, a response with every
# address attribute in IPv6 form, an RFC 5780 request asking for a change of address and port
# (with PADDING), an RFC 3489 request (CHANGE-REQUEST, no cookie) and an RFC 3489 response.
def stun(mtype, attrs, cookie=0x2112A442, tid=bytes(range(1, 13))):
    return struct.pack(">HHI", mtype, len(attrs), cookie) + tid + attrs


SAMPLE_ID = bytes.fromhex("b7e7a701bc34d686fa87dfae")
put("fuzz_stun", "rfc5769_request", bytes.fromhex(
    "000100582112a442" "b7e7a701bc34d686fa87dfae" "802200105354554e20746573742063"
    "6c69656e74" "002400046e0001ff" "80290008932ff9b151263b36" "000600096576746a3a683676"
    "59202020" "000800149aeaa70cbfd8cb56781ef2b5b2d3f249c1b571a2" "80280004e57a3bcf"))
put("fuzz_stun", "rfc5769_ipv4_response", bytes.fromhex(
    "0101003c2112a442" "b7e7a701bc34d686fa87dfae" "8022000b7465737420766563746f7220"
    "002000080001a147e112a643" "000800142b91f599fd9e90c38c7489f92af9ba53f06be7d7"
    "80280004c07d4c96"))
put("fuzz_stun", "rfc5769_ipv6_response", bytes.fromhex(
    "010100482112a442" "b7e7a701bc34d686fa87dfae" "8022000b7465737420766563746f7220"
    "002000140002a1470113a9faa5d3f179bc25f4b5bed2b9d9"
    "00080014a382954e4be67bf11784c97c8292c275bfe3ed41" "80280004c8fb0b4c"))
V6 = bytes.fromhex("20010db8000000000000000000000001")
put("fuzz_stun", "ipv6_response", stun(0x0101, b"".join(
    struct.pack(">HHBBH16s", t, 20, 0, 2, 3478, V6) for t in (0x0001, 0x0020, 0x802B, 0x802C))))
put("fuzz_stun", "change_request_with_padding",
    stun(0x0001, struct.pack(">HHI", 0x0003, 4, 6) + struct.pack(">HH", 0x0026, 5) + bytes(8)))
put("fuzz_stun", "rfc3489_request",
    stun(0x0001, struct.pack(">HHI", 0x0003, 4, 6), cookie=0xA1A2A3A4))
put("fuzz_stun", "rfc3489_response", stun(
    0x0101, struct.pack(">HHBBH4s", 0x0001, 8, 0, 1, 3478, bytes([192, 0, 2, 1])) +
    struct.pack(">HHBBH4s", 0x0004, 8, 0, 1, 3478, bytes([192, 0, 2, 10])) +
    struct.pack(">HHBBH4s", 0x0005, 8, 0, 1, 3479, bytes([192, 0, 2, 20])) +
    struct.pack(">HHHBB17s", 0x0009, 21, 0, 4, 20, b"Unknown Attribute") + bytes(3),
    cookie=0x01020304))

# STUN check: a setup byte, then op bytes as fuzz_stun_check.cpp reads them. A response op is
# 0x83 (success with FINGERPRINT); its fields: the ID choice, XOR-MAPPED-ADDRESS, OTHER-ADDRESS
# and RESPONSE-ORIGIN (each 0 = absent, else an endpoint pick), the socket and the sender.
DEADLINE = 0
PUBLIC, OTHER, SERVER, LAST_TO = 8, 1, 0, 4


def response(mapped_port, other=True, origin=False, sender=LAST_TO, op=0x83, legacy=False,
             family=b""):
    # family: in an IPv6 run (setup bit 0x20) one byte after each attribute present, 1 for IPv6
    # and 0 for an IPv4 one (the other family).
    f = family[:1]
    out = bytes([op, 0])
    if legacy:
        out += bytes([0, 1, PUBLIC]) + struct.pack(">H", mapped_port) + f
    else:
        out += bytes([1, PUBLIC]) + struct.pack(">H", mapped_port) + f
    out += bytes([1, OTHER]) + family[-1:] if other else bytes([0])
    out += bytes([1, SERVER]) + f if origin else bytes([0])
    return out + bytes([0, sender])


hairpin_request = bytes([0x1B, 0, 0, 0, 0, 0, LAST_TO])
full_cone = bytes([0]) + response(40000, origin=True) + response(40000) + response(40001)
full_cone += hairpin_request + response(40002) + response(40002, sender=OTHER)
put("fuzz_stun_check", "full_cone", full_cone)
put("fuzz_stun_check", "timeouts", bytes([0]) + bytes([DEADLINE]) * 60)
# No RFC 5780, a second server on another IP that sees another mapping: symmetric.
symmetric = bytes([1]) + response(40000, other=False, op=0x43, legacy=True)
symmetric += response(40100, other=False) + bytes([DEADLINE]) * 20
put("fuzz_stun_check", "legacy_second_server", symmetric)
# Quick mode (setup bit 0x08): test I's answer starts the rest at once; with 0x18 a fuzzed
# quick timing (first interval, floor, round trips, transmissions, cap).
put("fuzz_stun_check", "quick_full_cone", bytes([8]) + full_cone[1:] + bytes([DEADLINE]) * 20)
put("fuzz_stun_check", "quick_timeouts", bytes([8]) + bytes([DEADLINE]) * 60)
put("fuzz_stun_check", "quick_timing",
    bytes([0x18, 0x00, 0x64, 0x00, 0x0A, 2, 3, 0x03, 0xE8]) + response(40000, origin=True) +
    bytes([DEADLINE]) * 30)
# The whole run over IPv6 (setup bit 0x20): a full cone, and a server whose OTHER-ADDRESS is IPv4.
v6 = b"\x01"
ipv6_full_cone = bytes([0x20]) + response(40000, origin=True, family=v6) + response(40000, family=v6)
ipv6_full_cone += response(40001, family=v6) + hairpin_request + response(40002, family=v6)
ipv6_full_cone += response(40002, sender=OTHER, family=v6)
put("fuzz_stun_check", "ipv6_full_cone", ipv6_full_cone)
put("fuzz_stun_check", "ipv6_other_address_ipv4",
    bytes([0x20]) + response(40000, family=b"\x01\x00") + bytes([DEADLINE]) * 20)
put("fuzz_stun_check", "garbage_and_restart",
    bytes([4, 0x10, 0x27, 3, 16, 0x00, 0x80]) + bytes([2, 19]) + b"\x00\x01\x00\x00\x21\x12\xa4\x42" +
    bytes(12) + bytes([0, 7, 0x12, 0x34]) + bytes([0x86]) + response(40000) + bytes([0x46]))

# Text for the log: the first byte is CleanNetworkText's limit, the rest the text.
put("fuzz_text", "utf8_path", bytes([100]) + "/home/u/Prüfung/STUN.ini".encode("utf-8"))
put("fuzz_text", "latin1_and_cut", bytes([5]) + b"Pr\xfcfung \xe2\x82")
put("fuzz_text", "four_bytes_and_surrogate", bytes([0]) + b"\xf0\x9f\x93\xa7\xed\xa0\x80\xf4\x90")

# Port-mapping answers: NAT-PMP external address, PCP MAP success, NAT-PMP-only "unsupported
# version", an SSDP reply.
put("fuzz_portmap", "natpmp_external", bytes([0, 128, 0, 0, 0, 0, 1, 0, 203, 0, 113, 5]))
put("fuzz_portmap", "pcp_map",
    bytes([2, 0x81, 0, 0, 0, 0, 0, 120, 0, 0, 0x10, 0]) + bytes(12) + bytes(range(1, 13)) +
    bytes([17, 0, 0, 0, 0x9C, 0x40, 0x9C, 0x41]) + bytes(10) + bytes([0xFF, 0xFF, 100, 64, 0, 7]))
put("fuzz_portmap", "natpmp_only", bytes([0, 128, 0, 1, 0, 0, 0, 5]))
put("fuzz_portmap", "ssdp_reply",
    b"HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
    b"LOCATION: http://192.168.1.1:5000/rootDesc.xml\r\nSERVER: x/1 UPnP/1.1 y/2\r\n\r\n")
# PCP over IPv6: the router's MAP answer for a pinhole, and the two tables it is found from.
put("fuzz_portmap", "pcp6_map",
    bytes([2, 0x81, 0, 0, 0, 0, 0, 120, 0, 0, 0x10, 0]) + bytes(12) + bytes(range(1, 13)) +
    bytes([17, 0, 0, 0, 0x9C, 0x41, 0x9C, 0x41]) + bytes.fromhex("20010db8000000020000000000000011"))
put("fuzz_portmap", "ipv6_route",
    b"00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    b"fe800000000000000000000000000001 00000400 00000001 00000000 00450003     eth0\n")
put("fuzz_portmap", "if_inet6",
    b"20010db8000000020000000000000011 03 40 00 80     eth0\n"
    b"fe800000000000000000000000000011 03 40 20 80     eth0\n")
