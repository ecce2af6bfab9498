# Writes the starting corpus of one fuzz target into a folder:
#   python3 tools/fuzz/seeds.py TARGET FOLDER
# The seeds are small well-formed inputs the fuzzer mutates from.
import os
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


if __name__ == "__main__":
    target, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    for name, data in globals()[target]().items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
