#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/.

The seeds are kept in the tree; run this again only to change them. The
input layout of the two exchange targets is described in cFuzzInput.h:
a header, then records of one selector byte, a two-byte big-endian length
and the datagram.
"""
import os
import shutil
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def msg(*strings):
    """A setup message: each string followed by one NUL."""
    return b"".join(s.encode("latin-1") + b"\0" for s in strings)


REQUEST = msg("request", "tunnelid=7", "keepalive=30")
OFFER = msg("offer", "tunnelid=7", "ip6prefix=2001:db8::", "ip6prefixlen=64",
            "ip6addr=2001:db8::7", "keepalive=30")
ACCEPT = msg("accept")
LONGEST_OFFER = msg("offer", "tunnelid=4294967295",
                    "ip6prefix=ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                    "ip6prefixlen=255",
                    "ip6addr=ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe",
                    "keepalive=4294967295")
KEEPALIVE = b"\x00\x00\x86\xdd"


def frame(payload_len=16, dst=b"\x20\x01\x0d\xb8" + b"\0" * 11 + b"\x07"):
    """A TUN frame: packet-information header, IPv6 header, payload."""
    src = b"\x20\x01\x0d\xb8" + b"\0" * 11 + b"\x09"
    ip6 = (b"\x60\0\0\0" + payload_len.to_bytes(2, "big") + b"\x3a\x40"
           + src + dst)
    return b"\0\0\x86\xdd" + ip6 + bytes(i & 0xFF for i in range(payload_len))


def noise(n, seed):
    """Deterministic pseudo-random bytes."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def long_request():
    head = b"request\0tunnelid="
    return head + b"9" * (2048 - len(head) - 1) + b"\0"


PARSER_SEEDS = {
    "request_example": REQUEST,
    "offer_example": OFFER,
    "accept_example": ACCEPT,
    "request_without_keepalive": msg("request", "tunnelid=0"),
    "offer_longest": LONGEST_OFFER,
    "no_final_nul": REQUEST[:-1],
    "type_without_nul": b"request",
    "empty": b"",
    "empty_second_string": b"request\0\0tunnelid=7\0",
    "only_nuls": b"\0\0\0\0",
    "repeated_tags": msg("request", "tunnelid=7", "tunnelid=8", "keepalive=1",
                         "keepalive=2", "tunnelid=9"),
    "percent_signs": msg("%s%n%x", "tunnelid=%n%s", "%s=%s", "ip6addr=%p%p",
                         "keepalive=%99999d"),
    "control_bytes": b"offer\0tunnelid=\x01\x1b[31m\0ip6addr=\x7f\xff\x80\0"
                     b"keepalive=\r\n\0\x07\x08=\x09\0",
    "huge_numbers": msg("request", "tunnelid=4294967296", "keepalive=-1"),
    "huge_offer_numbers": msg("offer", "tunnelid=99999999999999999999999",
                              "ip6prefixlen=300", "keepalive=18446744073709551616"),
    "value_with_equals": msg("request", "tunnelid=5=6", "keepalive="),
    "names_without_values": msg("request", "tunnelid", "keepalive", "ip6addr",
                                "ip6prefix", "ip6prefixlen"),
    "tag_as_type": msg("tunnelid=7", "keepalive=30"),
    "bad_addresses": msg("offer", "ip6prefix=2001:db8::/64",
                         "ip6addr=::ffff:192.0.2.1", "ip6prefixlen=128",
                         "ip6addr=1:2:3:4:5:6:7:8:9", "ip6prefix="),
    "wrong_case": msg("Request", "TunnelId=7", "accept"),
    "long_2048": long_request(),
    "noise_2048": noise(2048, 7),
    "keepalive_4": KEEPALIVE,
    "keepalive_1": b"\0",
    "short_3": b"off",
    "data_frame": frame(),
}


def record(selector, data):
    return bytes([selector]) + len(data).to_bytes(2, "big") + data


FAILED_READ = bytes([0, 0xFF, 0xFF])


def broker_header(prefix_len=64, keepalive=30, fill=0, max_tunnels=16, require_key=False):
    """Prefix length, keepalive floor, table limit (1 to 16; bit 4 makes
    keys required), prefix bytes."""
    limit = (max_tunnels - 1) | (0x10 if require_key else 0)
    return bytes([prefix_len, keepalive, limit]) + bytes([fill]) * 12


# Selectors: 0 = 192.0.2.1:5000, 1 = 192.0.2.1:5001, 4 = 192.0.2.2:5000.
A, B, C = 0, 1, 4
# Added to a selector, the target ends the datagram with a "tunnelkey" tag:
# the valid key (of the identifier a request presents, else of the sender's
# tunnel), an empty one, or a wrong one.
VALID_KEY, EMPTY_KEY, WRONG_KEY = 0x10, 0x20, 0x30


def derived_id(selector):
    """The identifier the broker derives for a selector's endpoint: the
    CRC-32 of its IPv4 address and port, both in network order."""
    endpoint = bytes([192, 0, 2, 1 + ((selector >> 2) & 3)])
    endpoint += (5000 + (selector & 3)).to_bytes(2, "big")
    return zlib.crc32(endpoint)


def request_id(tunnel_id):
    return msg("request", "tunnelid=%d" % tunnel_id)

BROKER_SEEDS = {
    "exchange": broker_header() + record(A, REQUEST) + record(A, ACCEPT)
                + record(A, KEEPALIVE) + record(A, frame()),
    "retried_request": broker_header() + record(A, REQUEST) + record(A, REQUEST)
                       + record(A, ACCEPT),
    "identifier_moves": broker_header() + record(A, REQUEST) + record(A, ACCEPT)
                        + record(B, REQUEST) + record(B, ACCEPT) + record(C, REQUEST),
    "accept_without_request": broker_header() + record(A, ACCEPT)
                              + record(B, msg("request", "tunnelid=0"))
                              + record(A, REQUEST),
    "offer_to_broker": broker_header() + record(A, OFFER) + record(B, LONGEST_OFFER)
                       + record(A, REQUEST),
    "many_endpoints": broker_header() + b"".join(
        record(s, msg("request", "tunnelid=0")) for s in range(16)),
    "prefix_60_host_bits": broker_header(60, 0, 0xFF) + record(A, REQUEST)
                           + record(B, msg("request", "tunnelid=0")),
    "prefix_120": broker_header(120, 10, 0xAB) + record(A, REQUEST)
                  + record(B, msg("request", "tunnelid=4294967295", "keepalive=60")),
    "prefix_255": broker_header(255, 255, 0x11) + record(A, REQUEST)
                  + record(A, msg("request", "tunnelid=1", "keepalive=-1")),
    "full_table": broker_header(max_tunnels=2) + record(A, REQUEST) + record(A, ACCEPT)
                  + record(B, ACCEPT) + record(C, msg("request", "tunnelid=0"))
                  + record(5, REQUEST) + record(B, REQUEST) + record(B, ACCEPT)
                  + record(6, REQUEST) + record(A, KEEPALIVE),
    "flood_of_new_endpoints": broker_header(max_tunnels=3) + b"".join(
        record(s, msg("request", "tunnelid=%d" % (s % 5))) + record(s, ACCEPT)
        for s in range(16)),
    # B presents the identifier that A then derives, so two tunnels side by
    # side share it; C's request with it must remove both.
    "derived_identifier_collision": broker_header() + record(B, request_id(derived_id(A)))
                                    + record(A, request_id(0))
                                    + record(C, request_id(derived_id(A))),
    # A keeps 7 under its key: requests for 7 without it, with an empty or a
    # wrong one are handled as 0; only C's with the key takes it.
    "protected_identifier": broker_header() + record(A | VALID_KEY, REQUEST)
                            + record(A | VALID_KEY, ACCEPT) + record(B, REQUEST)
                            + record(5 | EMPTY_KEY, REQUEST) + record(6 | WRONG_KEY, REQUEST)
                            + record(C | VALID_KEY, REQUEST) + record(C | VALID_KEY, ACCEPT),
    # A full table: only the key frees the protected tunnel's slot.
    "protected_at_limit": broker_header(max_tunnels=2) + record(A | VALID_KEY, REQUEST)
                          + record(A | VALID_KEY, ACCEPT) + record(B, request_id(0))
                          + record(B, ACCEPT) + record(C | WRONG_KEY, REQUEST)
                          + record(C, REQUEST) + record(C | VALID_KEY, REQUEST),
    # Required keys: accepts without the valid one leave the tunnel offered.
    "keys_required": broker_header(require_key=True) + record(A | VALID_KEY, REQUEST)
                     + record(A, ACCEPT) + record(A | WRONG_KEY, ACCEPT)
                     + record(A | VALID_KEY, ACCEPT) + record(B | EMPTY_KEY, REQUEST)
                     + record(B | VALID_KEY, ACCEPT) + record(C, REQUEST)
                     + record(5 | VALID_KEY, REQUEST),
    # Keys without a keyed request, on a bare accept, and a keyed request
    # whose accept has none; at the limit the protected but unfinished
    # tunnel of the bare accept is evicted.
    "keys_out_of_turn": broker_header(max_tunnels=3) + record(A | VALID_KEY, ACCEPT)
                        + record(B, REQUEST) + record(B | VALID_KEY, ACCEPT)
                        + record(C | EMPTY_KEY, request_id(0)) + record(C, ACCEPT)
                        + record(5 | VALID_KEY, REQUEST) + record(6, REQUEST)
                        + record(7, request_id(0)),
    "hostile_shapes": broker_header() + record(A, b"") + record(B, long_request())
                      + record(C, REQUEST[:-1])
                      + record(A, PARSER_SEEDS["percent_signs"])
                      + record(B, PARSER_SEEDS["control_bytes"])
                      + record(C, KEEPALIVE) + record(A, noise(300, 3)),
}


# Selectors: 0 = the broker; 4 another port, 5 another address, 6 another
# family, 7 an address elsewhere.
BROKER, OTHER_PORT, OTHER_ADDR, OTHER_FAMILY, ELSEWHERE = 0, 4, 5, 6, 7


def client_header(established=False, tunnel_id=0, keepalive=30):
    return bytes([1 if established else 0, tunnel_id, keepalive])


CLIENT_SEEDS = {
    "offer": client_header() + record(BROKER, OFFER),
    "offers_from_strangers": client_header() + record(OTHER_PORT, OFFER)
                             + record(OTHER_ADDR, OFFER)
                             + record(OTHER_FAMILY, LONGEST_OFFER)
                             + record(ELSEWHERE, OFFER) + record(BROKER, OFFER),
    "relay": client_header(True) + record(BROKER, frame()) + record(BROKER, KEEPALIVE)
             + record(BROKER, b"") + record(BROKER, b"\0")
             + record(BROKER, b"\0\0\x86\xdd\x60") + record(BROKER, frame(2000))
             + FAILED_READ + record(OTHER_PORT, frame()) + record(ELSEWHERE, KEEPALIVE),
    "short_frames": client_header(True, 7, 0) + record(BROKER, frame()[:11])
                    + record(BROKER, frame()[:27]) + record(BROKER, frame()[:43])
                    + record(BROKER, noise(2048, 11)),
    "request_then_accept": client_header(False, 7) + record(BROKER, REQUEST)
                           + record(BROKER, ACCEPT),
    "hostile_offers": client_header(False, 0, 0)
                      + record(BROKER, PARSER_SEEDS["percent_signs"])
                      + record(BROKER, OFFER[:-1])
                      + record(BROKER, PARSER_SEEDS["bad_addresses"]),
    "huge_offer": client_header() + FAILED_READ
                  + record(BROKER, PARSER_SEEDS["huge_offer_numbers"]),
    "garbage_then_offer": client_header() + record(BROKER, noise(2048, 5))
                          + record(BROKER, KEEPALIVE) + record(BROKER, LONGEST_OFFER),
}


def offload(mode=0, mtu=1400, option_words=0, payload=64000, gso=1400, flags=0x10, rest=b""):
    """fuzz_tcp_offload: mode, MTU, TCP option words, payload length,
    gso_size and TCP flags shape the super-segment; records of wire frames
    follow (and, repeated, the whole input fills the super-segment)."""
    return (bytes([mode, mtu - 1280, option_words]) + payload.to_bytes(2, "big")
            + (gso - 64).to_bytes(2, "big") + bytes([flags]) + rest)


def raw_gso_read(gso=100, payload=500):
    """A read from the device as it is: virtio header (needs checksum,
    TCP/IPv6 GSO), IPv6 header, 20-byte TCP header (ACK), payload."""
    src = b"\x20\x01\x0d\xb8" + b"\0" * 11 + b"\x09"
    ip6 = b"\x60\0\0\0" + (20 + payload).to_bytes(2, "big") + b"\x06\x40" + src + src
    tcp = b"\x04\xd2\x00\x50" + b"\0\0\0\x01" + b"\0" * 4 + b"\x50\x10\xff\xff" + b"\0" * 4
    return struct.pack("<BBHHHH", 1, 4, 60, gso, 40, 16) + ip6 + tcp + noise(payload, 6)


OFFLOAD_SEEDS = {
    "bulk_64k": offload(payload=65000, rest=noise(40, 1)),
    "timestamps_fin_odd": offload(mtu=1280, option_words=3, payload=4097, gso=1208,
                                  flags=0x19, rest=noise(33, 2)),
    "cwr_ece_small_segments": offload(mode=2, mtu=1500, payload=20000, gso=88, flags=0xD8,
                                      rest=noise(17, 3)),
    "largest": offload(mtu=1500, option_words=10, payload=65475, gso=65535, flags=0x18),
    "whole_packet": offload(mode=1, payload=900, flags=0x18, rest=noise(50, 4)),
    "no_payload": offload(payload=0),
    "lost_frame": offload(mode=8 | 3 << 4, payload=10000, rest=noise(20, 7)),
    "next_after_short": offload(mode=4, payload=40000, rest=noise(20, 8)),
    "next_after_full": offload(mode=4, payload=27200, rest=noise(20, 9)),
    "next_after_single": offload(mode=4, option_words=3, payload=500, rest=noise(20, 10)),
    "raw_frames": offload(payload=3000) + record(0, frame()) + record(1, frame(1400))
                  + record(2, noise(100, 5)),
    "raw_gso_read": raw_gso_read(),
}


def write_dictionary():
    """Words for the fuzzer to insert: message words, tag names and the
    identifiers the broker derives for the sixteen endpoints."""
    words = ["request", "offer", "accept", "tunnelid=", "keepalive=", "ip6prefix=",
             "ip6prefixlen=", "ip6addr=", "tunnelkey=", "2001:db8::", "4294967295"]
    words += [str(derived_id(s)) for s in range(16)]
    with open(os.path.join(HERE, "quibd.dict"), "w") as out:
        out.write("# Written by makeCorpus.py: setup-message words for libFuzzer.\n")
        for w in words:
            out.write('"%s"\n' % w)


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


write_dictionary()
write("fuzz_tsp_parse", PARSER_SEEDS)
write("fuzz_broker_exchange", BROKER_SEEDS)
write("fuzz_client_datagram", CLIENT_SEEDS)
write("fuzz_tcp_offload", OFFLOAD_SEEDS)
