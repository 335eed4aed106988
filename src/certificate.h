// SPDX-License-Identifier: MIT
// CURVE keys and the certificate files that czmq's zcert and pyzmq's
// zmq.auth write: a ZPL text with a `metadata` section and a `curve` section
// holding `public-key = "<40 Z85 characters>"`, and `secret-key` too in the
// NAME.key_secret file. The reader takes that layout and nothing else: a
// file that is odd in any way is refused, never guessed at.
#ifndef VORZMQ_SRC_CERTIFICATE_H
#define VORZMQ_SRC_CERTIFICATE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace vorzmq::internal {

// Certificates are a few hundred bytes; anything much longer is not one.
inline constexpr size_t longest_certificate = 64 * 1024;

// Whether `key` is a CURVE key in Z85: 40 characters that decode to 32 bytes.
bool valid_z85_key(std::string_view key);

// The public key of a Z85 secret key, or empty when it is not one.
std::string public_key_of(std::string_view secret_key);

struct certificate {
    std::string public_key;  // Z85, always there
    std::string secret_key;  // Z85, empty in a public certificate
};

// Parses a certificate's text. Returns false and says why in `why` (a short
// text for a log record) when it is not exactly a certificate: bytes other
// than printable ASCII, tabs and line ends, indentation other than four
// spaces a level, sections other than `metadata` and `curve`, lines deeper
// than one level, malformed names or values, a key that is missing, given
// twice or not a key, or a secret key that does not belong to the public key.
bool parse_certificate(std::string_view text, certificate& parsed, std::string& why);

// Reads and parses the certificate file at `path` (a regular file of at most
// longest_certificate bytes). `readable_by_others` tells whether its mode
// lets group or others read it.
bool read_certificate_file(const std::string& path, certificate& parsed, std::string& why,
                           bool& readable_by_others);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_CERTIFICATE_H
