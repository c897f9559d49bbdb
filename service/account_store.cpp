#include "service/account_store.h"

namespace tarn {

// The encrypted store is not built yet: there are no accounts.
std::vector<Account> LoadAccounts() { return {}; }

}  // namespace tarn
