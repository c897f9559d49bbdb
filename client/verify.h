#pragma once
// Verification of an installed client against the signed list of checksums.

namespace tarn {

// Hashes every listed file and posts the "verify" rows and "progress";
// a clean client goes on to the update check.
void VerifyClient();

}  // namespace tarn
