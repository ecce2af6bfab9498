# Writes the starting corpus of one fuzz target into a folder:
#   python3 tools/fuzz/seeds.py TARGET FOLDER
# The seeds are small well-formed inputs the fuzzer mutates from, and the
# inputs kept in tools/fuzz/corpus/TARGET/ (ones that once found a fault).
import os
import shutil
import random
import struct
import subprocess
import sys
import tempfile
import zlib


def xml():
    return {
        "package": b'<?xml version="1.0"?><Package name="p"><Releases><Incremental id="1">x</Incremental></Releases></Package>',
        "entities": b'<a x="1" y><b>&lt;&#65;&#x42;&amp</b><!-- c --><![CDATA[<z>]]></a></b><c/>',
        "soap": b'<s:Envelope xmlns:s="u"><s:Body><u:Reply><NewPort>80</NewPort></u:Reply></s:Body></s:Envelope>',
    }


def vcdiff():
    # Deltas from xdelta3 (with and without checksums) behind their small source.
    rng = random.Random(5)
    seeds = {}
    with tempfile.TemporaryDirectory() as t:
        old = bytes(rng.choice(b"abcd") for _ in range(3000))
        new = old[:1000] + b"NEW" + old[1200:] + b"tail"
        open(f"{t}/o", "wb").write(old)
        open(f"{t}/n", "wb").write(new)
        for i, flags in enumerate([[], ["-n"], ["-A", "-W", "16384"]]):
            subprocess.run(["xdelta3", "-f", "-e", "-S", "none", "-D", *flags, "-s",
                            f"{t}/o", f"{t}/n", f"{t}/d"], check=True)
            delta = open(f"{t}/d", "rb").read()
            seeds[f"delta{i}"] = bytes([7 * i, len(old) & 255, len(old) >> 8]) + old + delta
    return seeds


def patcherstore():
    # A well-formed store of two members behind its table of contents.
    def record(name, raw):
        z = zlib.compress(raw)
        return (len(z).to_bytes(4, "little") + len(raw).to_bytes(4, "little")
                + name.encode().ljust(320, b"\0") + z)
    data = (b".store".ljust(16, b"\0") + (1).to_bytes(4, "little") + bytes(4)
            + (40).to_bytes(8, "little") + (4096).to_bytes(8, "little"))
    a = record("a.bin", b"x" * 5000)
    data += a + record("b.bin", b"hello")
    toc = f"""<?xml version="1.0"?><PatcherStore PatcherStoreVersion="1" SectionSize="4096"><FileList>
<File><FileName>a.bin</FileName><FileIndex>0</FileIndex><DifferenceFile>FALSE</DifferenceFile><Offset>40</Offset><FileSize>5000</FileSize><SectionCount>1</SectionCount></File>
<File><FileName>b.bin</FileName><FileIndex>0</FileIndex><DifferenceFile>TRUE</DifferenceFile><Offset>{40 + len(a)}</Offset><FileSize>5</FileSize><SectionCount>1</SectionCount></File>
</FileList><StoreList><StoreCount>1</StoreCount><Store><SectionList><SectionCount>2</SectionCount><Section><Offset>40</Offset></Section></SectionList></Store></StoreList></PatcherStore>""".encode()
    return {"store": len(toc).to_bytes(2, "little") + toc + data}


def metafile():
    return {
        "single": b"d8:announce14:http://t/a/ann4:infod6:lengthi100e4:name5:f.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee",
        "multi": b"d4:infod5:filesld6:lengthi5e4:pathl1:a5:x.bineed6:lengthi0e4:pathl1:beee4:name4:pack12:piece lengthi32768e6:pieces20:bbbbbbbbbbbbbbbbbbbbee",
        "tracker": b"d8:intervali1800e5:peers12:abcdefghijkl14:failure reason3:note",
        "dht": b"d1:ad2:id20:abcdefghij01234567896:target20:mnopqrstuvwxyz123456e1:q9:find_node1:t2:aa1:y1:qe",
    }


def webget():
    # The first byte chooses the read size and flags of the fuzzer.
    return {
        "sized": b"\x07HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
        "chunked": b"\x02HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x\r\nhello\r\n0\r\nT: 1\r\n\r\n",
        "redirect": b"\x10HTTP/1.0 302 Moved\r\nLocation: ../a/./b?c=1\r\n\r\n",
        "cookies": b'\x30HTTP/1.0 200 OK\nSet-Cookie: a=1; domain=.0.0.1; path=/; secure\nContent-Disposition: attachment; filename="x y.bin"\n\nbody',
    }


def udt_packet():
    def rec(sel, body):
        return bytes([sel]) + struct.pack(">H", len(body)) + body

    def ctl(t, ack, words):
        return (struct.pack(">IIII", (0x8000 | t) << 16, ack, 0, 0)
                + b"".join(struct.pack(">I", w & 0xffffffff) for w in words))
    return {
        "ack": rec(0x11, ctl(2, 1, [5, 0, 0, 64, 1000, 5000])),
        "nak": rec(0x11, ctl(3, 0, [0x80000001, 3, 9])),
        "handshake": rec(0x00, ctl(0, 0, [4, 1, 77, 1500, 32, 1, 1234, 0, 0, 0, 0, 0])),
        "data": rec(0x4a, struct.pack(">IIII", 12, 0, 0, 0) + b"x" * 100),
        "shutdown": rec(0x02, ctl(5, 0, [])),
    }


def stream():
    # First byte: delivery chunk size (low 7 bits) and cipher (top bit); then messages.
    def msg(mid, payload=b""):
        return struct.pack(">IB", 1 + len(payload), mid) + payload
    piece = msg(7, struct.pack(">II", 1, 16384) + bytes(range(256)) * 4)
    mix = (b"\0\0\0\0" + msg(4, struct.pack(">I", 258)) + msg(6, struct.pack(">III", 1, 16384, 16384))
           + piece + msg(5, b"\xff\xc0") + msg(14))
    return {
        "mix": b"\x00" + mix,
        "mix_chunked": b"\x05" + mix,
        "mix_cipher": b"\x83" + mix,
        "longest": b"\x7f" + struct.pack(">I", 131085) + b"\x07" + bytes(131084) + b"\0\0\0\0",
        "too_long": b"\x01" + msg(2) + struct.pack(">I", 131086) + b"\x07",
        "top_bit": b"\x00" + struct.pack(">I", 0x80000000) + b"x" * 8,
    }


def webserv():
    # The first byte allows keep-alive (bit 0); the rest is what the client sends.
    return {
        "get": b"\x00GET /dir/file.txt?a=1&b=%41 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "keepalive": b"\x01GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\nGET /second HTTP/1.1\r\n\r\n",
        "post": b"\x00POST /up HTTP/1.1\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello",
        "folded": b"\x00GET /x HTTP/1.0\r\nX-Long: a\r\n  continued\r\nHost:\r\n\r\n",
        "http09": b"\x00GET /plain\r\n\r\n",
        "ambiguous": b"\x00POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc",
        "cut": b"\x00GET /never-ends HTTP/1.1\r\nHost: a",
    }


def upnp():
    # A search answer, a NUL, then the reply the gateway gives to every action.
    def soap(body):
        envelope = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
                    '<s:Body>' + body + '</s:Body></s:Envelope>').encode()
        return (b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: "
                + str(len(envelope)).encode() + b"\r\n\r\n" + envelope)
    answer = (b"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
              b"USN: uuid:1::urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nLOCATION: http://127.0.0.1:5000/desc.xml\r\n\r\n")
    ns = 'xmlns:u="urn:schemas-upnp-org:service:WANIPConnection:1"'
    return {
        "address": answer + b"\0" + soap(f'<u:GetExternalIPAddressResponse {ns}><NewExternalIPAddress>198.51.100.7</NewExternalIPAddress></u:GetExternalIPAddressResponse>'),
        "entry": answer + b"\0" + soap(f'<u:GetGenericPortMappingEntryResponse {ns}><NewExternalPort>80</NewExternalPort><NewProtocol>TCP</NewProtocol><NewInternalClient>10.0.0.2</NewInternalClient></u:GetGenericPortMappingEntryResponse>'),
        "fault": b"HTTP/1.1 200 OK\r\nLocation: /relative.xml\r\n\r\n\0HTTP/1.1 500 Internal Server Error\r\nContent-Length: 120\r\n\r\n"
                 + b'<s:Envelope><s:Body><s:Fault><detail><UPnPError><errorCode>713</errorCode></UPnPError></detail></s:Fault></s:Body></s:Envelope>',
        "noanswer": b"NOTIFY * HTTP/1.1\r\nNT: upnp:rootdevice\r\n\r\n\0HTTP/1.1 200 OK\r\n\r\n",
    }


def natpmp():
    # The first byte picks the request; then datagrams as a length byte and bytes.
    def rec(b):
        return bytes([len(b)]) + b
    address = struct.pack(">BBHI4B", 0, 128, 0, 5, 198, 51, 100, 7)
    mapping = struct.pack(">BBHIHHI", 0, 130, 0, 5, 4001, 4000, 60)
    return {
        "address": b"\x00" + rec(address),
        "short": b"\x00" + rec(address[:11]) + rec(b""),
        "refused": b"\x01" + rec(struct.pack(">BBHIHHI", 0, 130, 3, 5, 4001, 4000, 0)),
        "otherport": b"\x02" + rec(struct.pack(">BBHIHHI", 0, 130, 0, 5, 9, 4000, 60)) + rec(mapping),
        "unmap": b"\x03" + rec(b"\x01" * 16) + rec(mapping[:15]),
    }


def regstore():
    header = b"PORTICO-REGISTRY 1\n"

    def key(depth, name):
        return b"K %d %d\n%s\n" % (depth, len(name), name)

    def value(kind, name, data):
        return b"V %d %d %d\n%s%s\n" % (kind, len(name), len(data), name, data)
    return {
        "empty": header,
        "tree": header + key(1, b"Software") + key(2, b"Portico") + value(1, b"Path", b"/opt/p\0")
                + value(4, b"Count", b"\x03\0\0\0") + key(2, b"other") + key(1, b"Fuzz")
                + key(2, b"Key") + value(3, b"v", b"\xff\n\0"),
        "multi": header + key(1, b"A") + value(7, b"", b"one\0two\0\0") + value(1, b"x", b"1")
                 + value(1, b"x", b"2"),
        "damaged": header + key(2, b"orphan"),
    }


def ffs():
    # Mode byte (bit 0: one Comp1 chunk, bit 1: check the archive's CRC), then
    # the bytes; archives as the reader's fixtures build them.
    def le(n):
        return struct.pack("<I", n & 0xffffffff)

    def comp1_literal(data):
        out = b"FFC!" + le(len(data))
        for i in range(0, len(data), 15):
            part = data[i:i + 15]
            out += bytes([len(part) << 4]) + part
        return out + b"\x01\x00\x00\x00"

    def path_hash(path, upper):
        path = path.replace("/", "\\")
        if upper:
            path = path.upper()
        return zlib.crc32(path.encode())

    def archive(records, flags=0, prefix=b"", trailer=False):
        entries = sorted(((path_hash(p, flags & 2), d) for p, d in records.items()),
                         key=lambda e: struct.unpack("<i", le(e[0]))[0])
        n = len(entries)
        out = bytearray(prefix + b"FFS!" + le(n) + le(~n) + le(0) + le(0) + le(flags))
        table = len(out)
        out += b"\0" * (8 * n)
        for i, (h, d) in enumerate(entries):
            out[table + 8 * i:table + 8 * i + 8] = le(h) + le(len(out))
            out += le(h) + le(len(d)) + d
        z = len(out) - len(prefix) + 4
        out[len(prefix) + 12:len(prefix) + 20] = le(z) + le(~z)
        crc = zlib.crc32(bytes(out[len(prefix):]))
        out += b"\0" * 8 + le(crc)
        if trailer:
            out += le(len(prefix)) + le(0)
        return bytes(out)

    settings = b"<Settings><Server>a.example</Server></Settings>"
    records = {
        "settings.xml": comp1_literal(settings),
        "data/plain.bin": b"plain bytes",
        "data/run.bin": b"FFC!" + le(4) + b"\x41R\x01\x00\x00\x00",
    }
    return {
        "archive": b"\x02" + archive(records),
        "upper": b"\x02" + archive(records, flags=3),
        "trailer": b"\x00" + archive(records, prefix=b"x" * 100, trailer=True),
        "literal": b"\x01" + comp1_literal(settings),
        "run": b"\x01" + b"FFC!" + le(4) + b"\x41R\x01\x00\x00\x00",
    }


def dht():
    def b(s):
        return str(len(s)).encode() + b":" + s
    rid = b"R" * 20
    node = b"N" * 20 + bytes([127, 0, 0, 1, 0x1b, 0x58])
    return {
        "ping": b"d1:ad2:id" + b(rid) + b"e1:q4:ping1:t2:aa1:y1:qe",
        "ping_integer_t": b"d1:ad2:id" + b(rid) + b"e1:q4:ping1:ti42e1:y1:qe",
        "find_node": b"d1:ad2:id" + b(rid) + b"6:target" + b(b"T" * 20) + b"e1:q9:find_node1:t2:aa1:y1:qe",
        "get_peers": b"d1:ad2:id" + b(rid) + b"9:info_hash" + b(b"H" * 20) + b"e1:q9:get_peers1:t2:aa1:y1:qe",
        "announce_peer": b"d1:ad2:id" + b(rid) + b"9:info_hash" + b(b"H" * 20) + b"4:porti6881e5:token2:xxe1:q13:announce_peer1:t2:aa1:y1:qe",
        "reply_nodes_values": b"d1:rd2:id" + b(rid) + b"5:nodes" + b(node + b"tail") + b"6:valuesl6:abcdef3:abce" + b"e1:t4:abcd1:y1:re",
        "error": b"d1:eli201e4:oopse1:t2:aa1:y1:ee",
    }


def bridge():
    # Datagrams behind a 2-byte little-endian length: header (type, flags, 0, 0,
    # id, chunk length) and body (code, number, name, values).
    def body(code, number, name, values=b"", count=0):
        return struct.pack("<IqI", code, number, len(name)) + name + struct.pack("<I", count) + values
    def chunk(kind, flags, mid, part):
        return struct.pack("<BBHII", kind, flags, 0, mid, len(part)) + part
    def datagram(c):
        return struct.pack("<H", len(c)) + c
    def text(t):
        return b"\x00" + struct.pack("<I", len(t)) + t
    call = body(0, 0, b"", text(b"play") + b"\x03" + b"\x04" + struct.pack("<I", 3) + b"abc", 3)
    invoke = body(0, 0, b"__Launcher_reportlauncherLog",
                  text(b"12:00") + b"\x01" + struct.pack("<q", -5) + b"\x02" + struct.pack("<d", 1.5), 3)
    split = body(0, 0, b"f", text(b"x" * 600), 1)
    return {
        "hello": datagram(chunk(1, 0, 0, body(1, 7, b"0123456789abcdef0123456789abcdef"))),
        "call_answer": datagram(chunk(4, 0, 1, call)) + datagram(chunk(5, 0, 1, body(1, 0, b"1:0"))),
        "invoke_result": datagram(chunk(6, 0, 2, invoke)) + datagram(chunk(7, 0, 2, body(0, 5, b""))),
        "chunked": datagram(chunk(6, 1, 3, split[:300])) + datagram(chunk(6, 0, 3, split[300:])),
        "interleaved": datagram(chunk(6, 1, 3, split[:300])) + datagram(chunk(4, 0, 4, call)),
        "utf8": b"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xed\xa0\x80\xc0\xaf\xff",
    }


def peer():
    # First byte: bit 0 the complete download, bits 1-2 the phase (messages,
    # plain handshake, munged handshake, identification), bit 3 Fast, bit 4
    # the peer interested, bit 5 unchoked; second byte the chunk size.
    import hashlib
    piece, pieces = 32768, 5
    data = bytes((i * 7 + i // 251) & 255 for i in range(pieces * piece - 1000))
    hashes = b"".join(hashlib.sha1(data[i:i + piece]).digest() for i in range(0, len(data), piece))
    info = (b"d6:lengthi" + str(len(data)).encode() + b"e4:name8:fuzz.bin12:piece lengthi"
            + str(piece).encode() + b"e6:pieces" + str(len(hashes)).encode() + b":" + hashes + b"e")
    info_hash = hashlib.sha1(info).digest()
    munge_key = hashlib.sha1(info_hash).digest()

    def msg(id, body=b""):
        return struct.pack(">IB", len(body) + 1, id) + body

    def word(*values):
        return b"".join(struct.pack(">I", v) for v in values)

    peer_id = b"-TT0001-" + bytes(range(12))
    plain = bytes([19]) + b"BitTorrent protocol" + bytes(8) + info_hash + peer_id
    munged = (bytes(a ^ b for a, b in zip(info_hash, munge_key)) + munge_key[:8]
              + bytes(a ^ b for a, b in zip(peer_id, munge_key)))
    talk = (msg(2) + msg(4, word(3)) + msg(5, b"\xa0") + msg(1) + msg(6, word(0, 0, 16384))
            + msg(8, word(0, 0, 16384)) + struct.pack(">I", 0) + msg(9, b"\x1a\xe1")
            + msg(0) + msg(3))
    piece_message = msg(7, word(1, 0) + bytes(16384))
    return {
        "messages": bytes([0x30, 3]) + talk,
        "messages_complete": bytes([0x31, 0]) + talk,
        "messages_fast": bytes([0x38, 1]) + talk + msg(14) + msg(15) + msg(17, word(2))
        + msg(16, word(0, 0, 16384)) + msg(13, word(1)),
        "piece": bytes([0x20, 255]) + msg(1) + piece_message,
        "bad_lengths": bytes([0x30, 0]) + msg(4, word(3, 4)) + msg(5, b"\xff\xff\xff"),
        "plain": bytes([0x02, 0]) + plain + talk,
        "plain_split": bytes([0x03, 0]) + plain[:10] + plain[10:] + talk,
        "munge": bytes([0x04, 1]) + munged + talk,
        "identify": bytes([0x06, 2]) + plain + talk,
        "identify_munge": bytes([0x07, 2]) + munged + talk,
    }


if __name__ == "__main__":
    target, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    for name, data in globals()[target]().items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    kept = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    if os.path.isdir(kept):
        shutil.copytree(kept, folder, dirs_exist_ok=True)
