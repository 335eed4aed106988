// SPDX-License-Identifier: MIT
// The certificate reader with any text: it never crashes, and whatever it
// accepts holds a real public key (and a secret key that belongs to it), was
// free of control characters, and reads back the same once written out as
// czmq writes certificates.
#include <string>
#include <string_view>

#include "wire.h"
#include "harness.h"

using namespace vorzmq_fuzz;
using vorzmq::internal::certificate;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    certificate parsed;
    std::string why;
    if (!vorzmq::internal::parse_certificate(text, parsed, why)) {
        if (why.empty() || !parsed.public_key.empty() || !parsed.secret_key.empty()) {
            fail("refused without a reason, or with keys left: " + why);
        }
        return 0;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool line_end = byte == '\n' || (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        if ((byte < 0x20 && !line_end) || byte == 0x7f) {
            fail("accepted a control character");
        }
    }
    if (!vorzmq::internal::valid_z85_key(parsed.public_key)) {
        fail("accepted a public key that is not a key");
    }
    if (!parsed.secret_key.empty() && vorzmq::internal::public_key_of(parsed.secret_key) != parsed.public_key) {
        fail("accepted a secret key of another public key");
    }
    std::string written = "metadata\ncurve\n    public-key = \"" + parsed.public_key + "\"\n";
    if (!parsed.secret_key.empty()) {
        written += "    secret-key = \"" + parsed.secret_key + "\"\n";
    }
    certificate again;
    if (!vorzmq::internal::parse_certificate(written, again, why) || again.public_key != parsed.public_key ||
        again.secret_key != parsed.secret_key) {
        fail("the keys do not read back: " + written);
    }
    return 0;
}
