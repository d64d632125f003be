#!/usr/bin/env python3
"""Peers for the relay's TLS tests, on Python's ssl module. Servers listen on 127.0.0.1 and print
their port as the first line; clients connect to the port given. One connection each, then exit.

    tls-peers.py https DIR CERT KEY       HTTP/1.1 over TLS (ALPN http/1.1) serving the files of DIR
    tls-peers.py echo CERT KEY            echoes every byte until close_notify, then answers with its own
    tls-peers.py truncate CERT KEY N      sends N bytes, then closes TCP without close_notify
    tls-peers.py reset CERT KEY N         sends N bytes, then resets the connection
    tls-peers.py pgserver CERT KEY        PostgreSQL's SSLRequest answered "S", then a line answered over TLS
    tls-peers.py pgclient PORT CA         the client of that exchange; prints what it got
    tls-peers.py mysqlserver CERT KEY     reads a 36-byte request to switch, then TLS: a line answered
    tls-peers.py mysqlclient PORT CA      sends that request and its ClientHello in one write; prints
                                          what it got
    tls-peers.py tlsclient PORT CA        TLS client: sends "ping\\n", prints what it reads to the end and
                                          how the stream ended ("close_notify", "truncated" or "reset")
"""
import fcntl
import http.server
import os
import socket
import ssl
import struct
import sys
import termios
import time


def server_context(cert, key, alpn=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if alpn:
        context.set_alpn_protocols(alpn)
    return context


def client_context(ca):
    context = ssl.create_default_context(cafile=ca)
    return context


def listen():
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    listener.settimeout(30)
    return listener


def accept(listener):
    conn, _ = listener.accept()
    conn.settimeout(30)
    return conn


def https(folder, cert, key):
    os.chdir(folder)

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.socket = server_context(cert, key, ["http/1.1"]).wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.timeout = 30
    server.handle_request()


def echo(cert, key):
    listener = listen()
    tls = server_context(cert, key).wrap_socket(accept(listener), server_side=True)
    while True:
        data = tls.recv(65536)
        if not data:
            break
        tls.sendall(data)
    tls.unwrap()
    print("done", flush=True)


def ending(cert, key, size, reset):
    listener = listen()
    conn = accept(listener)
    tls = server_context(cert, key).wrap_socket(conn, server_side=True)
    tls.recv(65536)  # the request: the reply follows it
    tls.sendall(bytes(i % 251 for i in range(size)))
    if reset:
        # Once the peer has every byte: a reset throws away what is still unsent.
        for _ in range(1000):
            if struct.unpack("i", fcntl.ioctl(tls.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0] == 0:
                break
            time.sleep(0.01)
        tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    tls.close()  # no close_notify
    print("done", flush=True)


def pgserver(cert, key):
    listener = listen()
    conn = accept(listener)
    request = b""
    while len(request) < 8:
        request += conn.recv(8 - len(request))
    length, code = struct.unpack("!II", request)
    if length != 8 or code != 80877103:
        conn.sendall(b"E")
        return
    conn.sendall(b"S")
    tls = server_context(cert, key).wrap_socket(conn, server_side=True)
    line = tls.makefile("rb").readline()
    tls.sendall(b"pong: " + line)
    tls.unwrap()
    print("done", flush=True)


def pgclient(port, ca):
    conn = socket.create_connection(("localhost", port), timeout=30)
    conn.sendall(struct.pack("!II", 8, 80877103))
    answer = conn.recv(1)
    if answer != b"S":
        print("refused", answer, flush=True)
        return
    tls = client_context(ca).wrap_socket(conn, server_hostname="localhost")
    tls.sendall(b"ping over tls\n")
    got = b""
    while True:
        data = tls.recv(65536)
        if not data:
            break
        got += data
    print(got.decode(), end="", flush=True)


# MySQL's SSL request: a 32-byte packet (sequence 1) behind its 4-byte header.
MYSQL_SSL_REQUEST = b"\x20\x00\x00\x01" + b"\x00\x0a\x00\x00" + b"\x00" * 28


def mysqlserver(cert, key):
    listener = listen()
    conn = accept(listener)
    request = b""
    while len(request) < len(MYSQL_SSL_REQUEST):
        request += conn.recv(len(MYSQL_SSL_REQUEST) - len(request))
    if request != MYSQL_SSL_REQUEST:
        return
    tls = server_context(cert, key).wrap_socket(conn, server_side=True)
    line = tls.makefile("rb").readline()
    tls.sendall(b"pong: " + line)
    tls.unwrap()
    print("done", flush=True)


def mysqlclient(port, ca):
    conn = socket.create_connection(("localhost", port), timeout=30)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = client_context(ca).wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    conn.sendall(MYSQL_SSL_REQUEST + outgoing.read())  # one write: the request and the hello
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            pending = outgoing.read()
            if pending:
                conn.sendall(pending)
            data = conn.recv(65536)
            if not data:
                print("ended during the handshake", flush=True)
                return
            incoming.write(data)
    tls.write(b"ping over tls\n")
    conn.sendall(outgoing.read())
    got = b""
    while b"\n" not in got:
        try:
            got += tls.read(65536)
        except ssl.SSLWantReadError:
            data = conn.recv(65536)
            if not data:
                break
            incoming.write(data)
    print(got.decode(), end="", flush=True)


def tlsclient(port, ca):
    conn = socket.create_connection(("localhost", port), timeout=30)
    tls = client_context(ca).wrap_socket(conn, server_hostname="localhost", suppress_ragged_eofs=False)
    tls.sendall(b"ping\n")
    got = 0
    end = "close_notify"
    try:
        while True:
            data = tls.recv(65536)
            if not data:
                break
            got += len(data)
    except ssl.SSLEOFError:
        end = "truncated"  # no close_notify: a TCP end, or (as OpenSSL reports it) a reset
    except ConnectionResetError:
        end = "reset"
    print(got, end, flush=True)


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "https":
        https(*args)
    elif mode == "echo":
        echo(*args)
    elif mode in ("truncate", "reset"):
        ending(args[0], args[1], int(args[2]), mode == "reset")
    elif mode == "pgserver":
        pgserver(*args)
    elif mode == "pgclient":
        pgclient(int(args[0]), args[1])
    elif mode == "mysqlserver":
        mysqlserver(*args)
    elif mode == "mysqlclient":
        mysqlclient(int(args[0]), args[1])
    elif mode == "tlsclient":
        tlsclient(int(args[0]), args[1])
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
