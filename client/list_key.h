#pragma once
// The public key that a signed file list must verify against. Its text is
// generated at configure time from the PEM file named by the CMake option
// TARN_LIST_KEY (by default the repository's demo key, which is not fit for
// a real deployment), so an operator builds the launcher with its own key
// without touching the source.

namespace tarn {

// A NUL-terminated "PUBLIC KEY" PEM block (X.509 SubjectPublicKeyInfo of an
// RSA key), exactly as it stands in the key file apart from carriage returns.
extern const char kListPublicKeyPem[];

}  // namespace tarn
