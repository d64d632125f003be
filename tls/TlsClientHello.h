// Public. Recognising a TLS ClientHello in a byte stream, where it starts (the first byte of a
// connection) or midway (after STARTTLS, an SSLRequest answered "S", a switch to SSL): given the
// bytes seen so far from some position, whether a ClientHello starts there, whether more bytes
// are needed to tell, or whether it is not TLS; and, from a complete hello, the name it asks for
// (SNI) and the application protocols it offers (ALPN).
//
// What is recognised: TLS records of type 22 (handshake) with a version of 3.x (x at most 4),
// each of 1 to 16384 bytes, whose handshake bytes, joined over as many records as they take,
// begin with a ClientHello (type 1) of 41 (its fixed fields, one cipher suite and one compression
// method) to kMaxClientHello bytes:
//
//   record:  16 03 0x | length (2) | payload ...            (repeated until the hello is whole)
//   hello:   01 | length (3) | version 03 xx | random (32) | session id <0..32>
//            | cipher suites <2..2^16-2, even> | compression methods <1..255>
//            | [ extensions <0..2^16-1>: type (2) length (2) data, filling it exactly ]
//
// A hello whose fields do not fill their lengths exactly, that repeats an extension, or whose
// SNI or ALPN extension is malformed (SNI: a list of entries of type (1), length (2) and name,
// filling the extension exactly, at least one of them, names not empty; ALPN: a list of
// names of 1 to 255 bytes behind a length byte, filling it exactly, at least one) is not TLS:
// the bytes are then what they are, data of the protocol that carried them. SSL 2 hellos are not
// recognised.
//
// The verdicts are consistent along a stream: once a verdict is hvNotTls or hvClientHello for
// some bytes, it is the same for those bytes followed by any others (with the same hello).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum THelloVerdict : std::uint8_t {
  hvNeedMore = 0,     // nothing contradicts a ClientHello yet: wait for more bytes
  hvNotTls = 1,       // these bytes do not start a ClientHello
  hvClientHello = 2,  // a ClientHello starts here (and, from ScanClientHello, is complete)
};

struct TClientHello {
  std::size_t Length = 0;             // the bytes of the records that carry it, from the start
  std::size_t Records = 0;            // how many records carry it
  std::uint16_t RecordVersion = 0;    // the version field of the first record
  std::uint16_t ClientVersion = 0;    // the hello's legacy version
  bool HasServerName = false;         // the SNI extension held a host_name entry
  std::string ServerName;             // its first host_name, byte for byte as sent
  bool HasAlpn = false;               // the ALPN extension was there
  std::vector<std::string> Alpn;      // the protocols offered, in order
  std::vector<std::uint16_t> Extensions;  // the extension types, in order
};

// The longest ClientHello recognised (handshake body bytes); longer ones are not TLS here.
constexpr std::size_t kMaxClientHello = 65536;

// From the record header and the handshake header alone (at most the first 9 handshake-carrying
// bytes): hvClientHello as soon as they fit a ClientHello, so that a caller can decide on the
// first record without waiting for the whole hello.
THelloVerdict ScanClientHelloStart(std::string_view Bytes);

// The whole hello: hvClientHello only when it is complete and well formed, and then Hello (when
// given) describes it. Bytes after its last record are not looked at.
THelloVerdict ScanClientHello(std::string_view Bytes, TClientHello* Hello = nullptr);
