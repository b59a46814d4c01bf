#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs to fuzz/corpus/<target>/.

The seeds are small, well-formed (or deliberately cut) examples of what each target parses, so
that a short run starts from real traffic instead of discovering the layouts by chance. Run it
again after changing it and commit what it writes; the output depends on nothing but this file.
"""
import pathlib
import shutil
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

BROADCAST = bytes([0xFF] * 6)
IFACE_MAC = bytes([0x02, 0x00, 0x5E, 0x80, 0x00, 0x05])  # the interface MAC of 10.0.0.5
PEER_MAC = bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
OTHER_MAC = bytes([0x00, 0x50, 0x56, 0x01, 0x02, 0x03])
MULTICAST_MAC = bytes([0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB])
GUEST_IP = bytes([10, 0, 0, 5])
PEER_IP = bytes([10, 0, 0, 1])


def inet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ipv4(protocol, payload, src=PEER_IP, dst=GUEST_IP, total=None):
    total = 20 + len(payload) if total is None else total
    header = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, 0x1C46, 0x4000, 64, protocol, 0, src, dst))
    struct.pack_into("!H", header, 10, inet_checksum(bytes(header)))
    return bytes(header) + payload


def tcp(data=b"hello"):
    # Checksum left 0: repairing it is the point.
    return struct.pack("!HHIIBBHHH", 40000, 80, 1, 0, 0x50, 0x18, 65535, 0, 0) + data


def udp(data=b"0123456789", length=None):
    return struct.pack("!HHHH", 5353, 5353, 8 + len(data) if length is None else length, 0) + data


def ether(dst, src, ether_type, payload, pad=True):
    frame = dst + src + struct.pack("!H", ether_type) + payload
    return frame + bytes(max(0, 60 - len(frame))) if pad else frame


def arp(operation, sender_mac, sender_ip, target_mac, target_ip, dst=BROADCAST, ether_type=0x0806, pad=True):
    body = struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, operation, sender_mac, sender_ip, target_mac, target_ip)
    return ether(dst, sender_mac, ether_type, body, pad)


ARP_REQUEST = arp(1, PEER_MAC, PEER_IP, bytes(6), GUEST_IP)
RARP_REQUEST = arp(3, PEER_MAC, bytes(4), IFACE_MAC, bytes(4), ether_type=0x8035)
SHORT_ARP = arp(1, PEER_MAC, PEER_IP, bytes(6), GUEST_IP, pad=False)[:41]
TCP_FRAME = ether(IFACE_MAC, PEER_MAC, 0x0800, ipv4(6, tcp()))
UDP_FRAME = ether(BROADCAST, PEER_MAC, 0x0800, ipv4(17, udp(), dst=bytes([10, 0, 0, 255])))
IPV6_FRAME = ether(bytes([0x33, 0x33, 0, 0, 0, 1]), PEER_MAC, 0x86DD, bytes([0x60]) + bytes(39))

# Receive buffer: settings byte (bit 0 promiscuous, bit 1 TUN, bits 2-3 interface MAC: 0 is
# IFACE_MAC), then capture records of a 20-byte header (timestamps, captured length, wire length,
# header length) and the frame, each aligned to 4 bytes.
PROMISCUOUS, TUN = 1, 2


def record(frame, caplen=None, header_length=20, align=True):
    caplen = len(frame) if caplen is None else caplen
    header = struct.pack("<IIIIH", 1700000000, 250000, caplen, len(frame), header_length)
    out = header + bytes(header_length - len(header)) + frame
    return out + bytes(-len(out) % 4) if align else out


def receive_buffer(settings, *records):
    return bytes([settings]) + b"".join(records)


def receive_walk():
    own = ether(OTHER_MAC, IFACE_MAC, 0x0800, ipv4(6, tcp(), src=GUEST_IP, dst=PEER_IP))
    elsewhere = ether(OTHER_MAC, PEER_MAC, 0x0800, ipv4(17, udp(), dst=PEER_IP))
    return {
        "tap_two_records": receive_buffer(0, record(TCP_FRAME), record(UDP_FRAME)),
        "tun_arp_tcp_ipv6": receive_buffer(TUN, record(ARP_REQUEST), record(TCP_FRAME), record(IPV6_FRAME)),
        "tun_rarp": receive_buffer(TUN, record(RARP_REQUEST)),
        "tap_own_and_others": receive_buffer(0, record(own), record(elsewhere),
                                             record(ether(MULTICAST_MAC, PEER_MAC, 0x0800, ipv4(17, udp())))),
        "promiscuous": receive_buffer(PROMISCUOUS | TUN, record(elsewhere), record(own)),
        "tun_short_frames": receive_buffer(TUN, record(TCP_FRAME[:14]), record(b""), record(SHORT_ARP)),
        "caplen_past_end": receive_buffer(0, record(TCP_FRAME), record(UDP_FRAME, caplen=1000)),
        "header_18_unaligned_last": receive_buffer(TUN, record(ARP_REQUEST, header_length=18),
                                                   record(TCP_FRAME[:55], header_length=18, align=False)),
    }


def fix_checksums():
    two = ether(IFACE_MAC, PEER_MAC, 0x0800, ipv4(6, tcp(b"first")) + ipv4(17, udp(b"second")), pad=False)
    return {
        "tcp": TCP_FRAME,
        "udp": UDP_FRAME,
        "two_packets": two,
        "icmp": ether(IFACE_MAC, PEER_MAC, 0x0800, ipv4(1, struct.pack("!BBHHH", 8, 0, 0, 1, 1) + b"ping")),
        "tcp_cut_short": ether(IFACE_MAC, PEER_MAC, 0x0800, ipv4(6, tcp(bytes(100)), total=1500), pad=False),
        "udp_length_lies": ether(IFACE_MAC, PEER_MAC, 0x0800, ipv4(17, udp(length=400)), pad=False),
        "not_ipv4": ARP_REQUEST,
    }


def arp_handlers():
    # Interface MAC and guest address, then the frame.
    prefix = IFACE_MAC + GUEST_IP
    return {
        "broadcast_request": prefix + ARP_REQUEST,
        "unicast_request_42": prefix + arp(1, PEER_MAC, PEER_IP, bytes(6), GUEST_IP, dst=IFACE_MAC, pad=False),
        "request_to_other": prefix + arp(1, PEER_MAC, PEER_IP, bytes(6), GUEST_IP, dst=OTHER_MAC),
        "reply": prefix + arp(2, PEER_MAC, PEER_IP, IFACE_MAC, GUEST_IP, dst=IFACE_MAC),
        "rarp_request": prefix + RARP_REQUEST,
        "short_41": prefix + SHORT_ARP,
    }


def tun_write():
    # A settings byte (bit 0: TAP; bit 1: in a batch; bits 2-3: the MTU, 0 for 1500), then the
    # caller's packet or frame.
    packet = ipv4(6, tcp(), src=GUEST_IP, dst=PEER_IP)
    tap_frame = PEER_MAC + IFACE_MAC + b"\x08\x00" + packet
    return {
        "tcp_packet": b"\x00" + packet,
        "tcp_packet_batch": b"\x02" + packet,
        "broadcast": b"\x00" + ipv4(17, bytes(8), src=GUEST_IP, dst=bytes([10, 0, 0, 255])),
        "header_only_20": b"\x00" + packet[:20],
        "short_19": b"\x00" + packet[:19],
        "empty": b"\x00",
        "ipv6_header": b"\x00" + bytes([0x60]) + bytes(39),
        "tap_frame": b"\x01" + tap_frame,
        "tap_header_only": b"\x03" + tap_frame[:14],
        "tap_full_mtu_60": b"\x05" + tap_frame[:74],
        "tap_with_trailer": b"\x01" + tap_frame + bytes(1518 - len(tap_frame)),
    }


def main():
    targets = {
        "fuzz_receive_walk": receive_walk(),
        "fuzz_fix_checksums": fix_checksums(),
        "fuzz_arp": arp_handlers(),
        "fuzz_tun_write": tun_write(),
    }
    for target, seeds in targets.items():
        directory = CORPUS / target
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
