#pragma once
// The public keys that a signed file list may verify against. Their text is
// generated at configure time from the PEM files named by the CMake options
// TARN_LIST_KEY and TARN_LIST_KEY_2 (by default the repository's demo key,
// which is not fit for a real deployment, and none), so an operator builds
// the launcher with its own keys without touching the source. A list signed
// by either key is accepted: the second one lets an operator move to a new
// key after players have a launcher that knows it.

namespace tarn {

// NUL-terminated "PUBLIC KEY" PEM blocks (X.509 SubjectPublicKeyInfo of an
// RSA key), exactly as they stand in the key files apart from carriage
// returns. The second is empty when the build trusts one key.
extern const char kListPublicKeyPem[];
extern const char kSecondListPublicKeyPem[];

}  // namespace tarn
