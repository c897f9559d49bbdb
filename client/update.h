#pragma once
// Repair and update of an installed client, and the check for a newer build.

namespace tarn {

// Downloads again every listed file that differs and stamps the new build.
void UpdateClient();

// Compares the installed build with the service's and posts "update".
void CheckForUpdate();

}  // namespace tarn
