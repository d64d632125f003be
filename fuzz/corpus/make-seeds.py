#!/usr/bin/env python3
"""Writes the seed inputs of the fuzzers into fuzz/corpus/<fuzzer>/.

The seeds are committed; this script says what each one is and makes them again after a change
of an input layout. Each seed starts the fuzzer on a case that its mutations alone would reach
slowly: a granted SOCKS reply with data behind it, a line end split over two reads, a dump past
65536 bytes.

The seeds of fuzz_capture_reader are captures written by our own capture writer, so they come from
a program of ours instead (fuzz/capture_seeds.cpp, built in the fuzz tree):
    build-fuzz/fuzz/capture_seeds fuzz/corpus/fuzz_capture_reader

Three of the fuzzers read their input through libFuzzer's FuzzedDataProvider, which takes
numbers from the end of the input and byte strings from the front; Seed below builds inputs in
that shape. The SOCKS fuzzer reads everything from the front. The ClientHello fuzzer's seeds
are real hellos that `openssl s_client` sends (its random bytes differ from run to run).
"""
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    """An input for FuzzedDataProvider: byte strings at the front, numbers at the back, in the
    order the fuzzer consumes them."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in consumption order: the first number's bytes first

    def number(self, value, size=1):
        for k in reversed(range(size)):
            self.back.append((value >> (8 * k)) & 0xFF)
        return self

    def bytes(self, data):
        self.front += data
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(fuzzer, name, data):
    folder = os.path.join(HERE, fuzzer)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- fuzz_linemode: flags, [line end], [limit], clear pattern, reset, reads, chunks ----

def linemode(name, chunks, edit=False, echo=False, small=False, line_end=None, limit=None,
             clear=0, reset=True, reads=(0,)):
    s = Seed()
    flags = (1 if edit else 0) | (2 if echo else 0) | (4 if small else 0)
    if line_end is None:
        pass  # CR LF
    elif line_end == b"\n":
        flags |= 1 << 3
    elif len(line_end) >= 1:
        flags |= 2 << 3
    else:
        flags |= 3 << 3
    if limit is None:
        pass  # 65536
    elif limit == 0:
        flags |= 1 << 5
    elif limit < 0:
        flags |= 2 << 5
    else:
        flags |= 3 << 5
    s.number(flags)
    if line_end not in (None, b"\n"):
        s.number(len(line_end) - 1 if len(line_end) >= 1 else 0)
        s.bytes(line_end)
    if limit is not None and limit < 0:
        s.number(-limit - 1)
    elif limit is not None and limit > 0:
        s.number(limit - 1)
    s.number(clear, 4)
    s.number(1 if reset else 0)
    s.number(len(reads) - 1)
    for r in reads:
        s.number(r)
    for c in chunks:
        s.number(len(c) - 1)
        s.bytes(c)
    write("fuzz_linemode", name, s.data())


linemode("two-lines-and-a-rest", [b"ab\r\nxy\r\nz"])
linemode("line-end-split-over-reads", [b"ab\r", b"\ncd\r\n", b"e"])
linemode("edit-backspace-echo", [b"ab\bx\r\n"], edit=True, echo=True)
linemode("edit-backspace-into-earlier-read", [b"abcd", b"\b\b\b\r\n"], edit=True, echo=True)
linemode("edit-tabs", [b"abc\tx\r\n\tq", b"\t\b\r\n"], edit=True)
linemode("backspace-first-byte", [b"\b\bz\r\n"], edit=True, echo=True, reset=False)
linemode("limit-kept-then-line", [b"a" * 11, b"b\r\n"], limit=10, clear=0)
linemode("limit-cleared", [b"a" * 11, b"bc\r\n"], limit=10, clear=1)
linemode("own-line-end", [b"a|b|", b"c"], line_end=b"|")
linemode("long-line-end", [b"aXYZb", b"XY", b"Zc"], line_end=b"XYZ")
linemode("empty-line-end", [b"abc", b"def\r\n"], line_end=b"")
linemode("partial-reads", [b"hello world\r\nsecond\r\n"], reads=(3, 1, 0))
linemode("lf-echo-orderly", [b"one\ntwo\n", b"three"], line_end=b"\n", echo=True, reset=False)
linemode("small-alphabet", [bytes(range(40)), bytes(range(40, 80))], small=True, edit=True, echo=True,
         limit=20, clear=0x5555)


# ---- fuzz_socks_reply: flags, lengths, usercode, password, host, port, pieces ----

def socks(name, pieces, level="5", auth=False, orderly=False, line_mode=False, user=b"", password=b"",
          host=b"\x07\x0e\x12\x13", port=80, read_size=0):
    flags = {"5": 0, "4": 1, "4A": 2}[level] | (4 if auth else 0) | (8 if orderly else 0) | (16 if line_mode else 0)
    flags |= read_size << 5
    data = bytearray([flags, len(user), len(password), len(host) - 1])
    data += user + password + host + bytes([port >> 8, port & 0xFF])
    for p in pieces:
        data += bytes([len(p) - 1]) + p
    write("fuzz_socks_reply", name, bytes(data))


IPV4_REPLY = b"\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50"
socks("s5-granted-with-surplus", [b"\x05\x00", IPV4_REPLY + b"hi", b"hello"])
socks("s5-granted-domain-auth", [b"\x05\x02", b"\x01\x00", b"\x05\x00\x00\x03\x04host\x00\x50data"],
      auth=True, user=b"bob", password=b"pwd")
socks("s5-auth-not-needed", [b"\x05\x00", IPV4_REPLY], auth=True, user=b"u", password=b"p")
socks("s5-auth-refused", [b"\x05\x02", b"\x01\x01"], auth=True, user=b"u", password=b"p")
socks("s5-auth-too-much", [b"\x05\x02", b"\x01\x00\x00"], auth=True, user=b"u")
socks("s5-closed-during-auth", [b"\x05\x02", b"\x01"], auth=True, orderly=True)
socks("s5-method-refused", [b"\x05\xff"])
socks("s5-wrong-version", [b"\x04\x00"])
socks("s5-reply-code-6", [b"\x05\x00", b"\x05\x06\x00\x01"])
socks("s5-reply-code-9", [b"\x05\x00", b"\x05\x09"])
socks("s5-address-type-4", [b"\x05\x00", b"\x05\x00\x00\x04" + b"\x00" * 15 + b"\x01\x00\x50v6"])
socks("s5-address-type-5", [b"\x05\x00", b"\x05\x00\x00\x05\x00"])
socks("s5-bound-name-too-long", [b"\x05\x00", b"\x05\x00\x00\x03\xc8"])
socks("s5-single-bytes", [bytes([b]) for b in b"\x05\x00" + IPV4_REPLY + b"z"])
socks("s5-surplus-read-by-twos", [b"\x05\x00", IPV4_REPLY + b"abcdefg", b"hij"], read_size=2)
socks("s5-surplus-is-the-last-data", [b"\x05\x00", IPV4_REPLY + b"abcdefg"], read_size=3)
socks("s5-line-mode-surplus", [b"\x05\x00", IPV4_REPLY + b"a\r\nb", b"c\r\nd"], line_mode=True)
socks("s4-granted-with-data", [b"\x00\x5a\x00\x50\x7f\x00\x00\x01xy", b"rest"], level="4", user=b"me")
socks("s4-rejected", [b"\x00\x5b\x00\x00\x00\x00\x00\x00"], level="4")
socks("s4-unassigned", [b"\x00\x01\x00\x00", b"\x00\x00\x00\x00"], level="4")
socks("s4a-granted", [b"\x00\x5a" + b"\x00" * 6 + b"data"], level="4A", user=b"id")
socks("s4a-refused", [b"\x00\x5c\x00\x00\x00\x00\x00\x00"], level="4A", orderly=True)


# ---- fuzz_hexdump: offset (8), remaining (8), repeat (1), block ----

def hexdump(name, unit, offset=0, remaining=None, repeat=0):
    s = Seed().number(offset, 8).number(len(unit) if remaining is None else remaining, 8).number(repeat)
    s.bytes(unit)
    write("fuzz_hexdump", name, s.data())


hexdump("two-lines", b"Hello, relay one\r\nline two\r\n")
hexdump("eight-bytes", b"12345678")
hexdump("seventeen-bytes", b"0123456789abcdefg")
hexdump("control-and-high-bytes", b"\x00\x09\x0d\x0a\x1f\x20\x7f\x80\xff", offset=3, remaining=100)
hexdump("past-65536", bytes(range(256)) + b"x", offset=65530, remaining=2 ** 64 - 1, repeat=255)
hexdump("offset-far-past-the-end", b"abc", offset=2 ** 64 - 2, remaining=16)
hexdump("empty", b"")


# ---- fuzz_resolve: text, then the flag byte at the end ----

def resolve(text, flags=0):
    name = "text-" + hashlib.sha1(text + bytes([flags])).hexdigest()[:10]
    write("fuzz_resolve", name, text + bytes([flags]))


for t in [b"1.2.3.4", b" 10.0.0.1 ", b"001.002.003.004", b"1.2.3", b"1.2.3.4.5", b"256.1.1.1", b"1..2.3",
          b".1.2.3", b"1.2.3.", b"1.2.3.4x", b"1.2.3.4 x", b"4294967296.1.1.1", b"255.255.255.255"]:
    resolve(t)
for t, f in [(b"80", 0), (b"65536", 2), (b"8080abc", 4), (b"4294967297", 6), (b"1" * 31, 0), (b"1" * 32, 0),
             (b"\x00", 0)]:
    resolve(t, f)
# IPv6 literals: plain, bracketed, zoned by name and by index, mapped IPv4, uncompressed, broken.
for t in [b"::1", b"[::1]", b"fe80::1%lo", b"[fe80::a:b%2]", b"::ffff:127.0.0.1", b"2001:0DB8:0:0:0:0:0:0001",
          b"1::2::3", b"[::1", b"::1%"]:
    resolve(t)

# ---- fuzz_clienthello: a mode byte (even: raw bytes; odd: a hello built from the rest) ----

def capture_hello(options):
    """The first flight of `openssl s_client OPTIONS` toward a listener that never answers."""
    import socket
    import subprocess
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    client = subprocess.Popen(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port] + options,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    listener.settimeout(10)
    conn, _ = listener.accept()
    conn.settimeout(10)
    data = b""
    while len(data) < 5 or len(data) < 5 + int.from_bytes(data[3:5], "big"):
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    client.kill()
    client.wait()
    conn.close()
    listener.close()
    return data


def fragment(hello, size):
    body = hello[5:]
    out = b""
    for at in range(0, len(body), size):
        piece = body[at:at + size]
        out += b"\x16\x03\x01" + len(piece).to_bytes(2, "big") + piece
    return out


hellos = {
    "tls13-sni-alpn": capture_hello(["-servername", "api.example", "-alpn", "h2,http/1.1"]),
    "tls12-sni": capture_hello(["-tls1_2", "-servername", "mail.example"]),
    "no-sni": capture_hello(["-noservername"]),
}
for name, hello in hellos.items():
    write("fuzz_clienthello", "openssl-" + name, b"\x00" + hello)
    write("fuzz_clienthello", "openssl-" + name + "-then-http", b"\x00" + hello + b"GET / HTTP/1.1\r\n\r\n")
write("fuzz_clienthello", "openssl-split-7", b"\x00" + fragment(hellos["tls13-sni-alpn"], 7))
write("fuzz_clienthello", "openssl-cut-short", b"\x00" + hellos["tls12-sni"][:-1])
write("fuzz_clienthello", "smtp-starttls", b"\x00EHLO client\r\nSTARTTLS\r\n")
write("fuzz_clienthello", "ssl2-hello", b"\x00\x80\x2e\x01\x00\x02\x00\x15\x00\x00\x10")
write("fuzz_clienthello", "built-small", b"\x01" + bytes(range(64)))
# A hello split over records whose header says 40 bytes: one the fuzzer found where the reference
# and the recogniser disagreed on the shortest hello.
write("fuzz_clienthello", "found-hello-of-40-bytes", bytes.fromhex("ff06000029000000290000000000000035"))
write("fuzz_clienthello", "built-larger", b"\x01" + bytes((i * 37) & 0xFF for i in range(600)))

print("seeds written under", HERE, file=sys.stderr)
