#!/usr/bin/env python3
"""An SMTP-like server for the STARTTLS tests, on Python's ssl module: it listens on 127.0.0.1
(its port printed as the first line), greets, answers EHLO with STARTTLS among its extensions,
and after "STARTTLS" answers 220 and switches to TLS with the given certificate. Over TLS it
answers each line with "250 got <length>", echoes the bytes of a "DATA <n>" block back whole,
and on QUIT answers 221 and ends with close_notify. One connection, then it exits.

    starttls-server.py CERT KEY
"""
import socket
import ssl
import sys


def lines(reader):
    while True:
        line = reader.readline()
        if not line:
            return
        yield line


def main():
    cert, key = sys.argv[1], sys.argv[2]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    listener.settimeout(20)
    conn, _ = listener.accept()
    conn.settimeout(20)
    conn.sendall(b"220 starttls.test ESMTP\r\n")
    plain = conn.makefile("rb")
    for line in lines(plain):
        print("plain:", line.decode(errors="replace").rstrip(), flush=True)
        if line.upper().startswith(b"EHLO"):
            conn.sendall(b"250-starttls.test\r\n250-PIPELINING\r\n250 STARTTLS\r\n")
        elif line.upper().startswith(b"STARTTLS"):
            conn.sendall(b"220 2.0.0 Ready to start TLS\r\n")
            break
        else:
            conn.sendall(b"500 what\r\n")
    plain.close()
    tls = context.wrap_socket(conn, server_side=True)
    reader = tls.makefile("rb")
    for line in lines(reader):
        print("tls:", line.decode(errors="replace").rstrip(), flush=True)
        if line.startswith(b"DATA "):
            size = int(line[5:])
            data = reader.read(size)
            tls.sendall(b"354 " + str(len(data)).encode() + b"\r\n" + data)
        elif line.upper().startswith(b"QUIT"):
            tls.sendall(b"221 bye\r\n")
            tls.unwrap()  # close_notify, and the client's in return
            break
        else:
            tls.sendall(b"250 got " + str(len(line)).encode() + b"\r\n")
    conn.close()
    print("done", flush=True)


if __name__ == "__main__":
    main()
