#pragma once
// Lists signed in the test itself with a key made for the run, so the
// signature check is tested on its own, away from the built-in key.
#include <string>
#include <string_view>

namespace tarn::test {

struct TestKey {
  std::string privatePem;
  std::string publicPem;
};

// A fresh RSA-2048 key pair.
TestKey MakeTestKey();

// The raw signature (PKCS #1 v1.5, MD5) over bytes.
std::string SignBytes(std::string_view bytes, const std::string& privatePem);

// Standard Base64 with padding, on one line.
std::string EncodeBase64(std::string_view bytes);

// text, the marker, a line break and the signature over text (CRs
// removed) in Base64 broken into 64-character lines.
std::string SignedBody(std::string_view text, const std::string& privatePem);

}  // namespace tarn::test
