// What the account commands cost apart from the service's own work: one
// authentication round trip on a fresh connection (a refresh makes one per
// stored account, one after another), and loading and saving accounts.dat
// (every password unsealed or sealed with the per-user key).
// See docs/performance.md for how to run it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "platform/http.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace {

// The launcher the benchmarks run as: the program's one.
tarn::Launcher gParts;
tarn::LauncherContext& gLauncher = gParts.context;

namespace fs = std::filesystem;

struct World {
  tarn::test::TempDir dir;
  tarn::test::ServiceProcess service;
  bool serviceUp = false;
};

World& TheWorld() {
  static World* world = [] {
    auto* w = new World;
    setenv("XDG_DATA_HOME", (w->dir.path() / "home").c_str(), 1);
    fs::create_directories(w->dir.path() / "data");
    tarn::InstallHostSlots(gLauncher,
                           {.post = {}, .open = {}, .pickFolder = {}, .dataFolder = (w->dir.path() / "data").string()});
    const fs::path site = w->dir.path() / "site";
    fs::create_directories(site / "client");
    tarn::test::WriteFile(site / "accounts.json",
                          R"({"accounts":[{"login":"demo","password":"demo","roles":[{"level":12,"name":"Лучник"}]}]})");
    tarn::test::ServiceOptions options;
    options.site = site;
    options.port = 0;
    w->serviceUp = w->service.Start(options);
    // The world lives until the very end of the program, but neither its
    // service nor its folder may outlive the run.
    std::atexit([] {
      TheWorld().service.Stop();
      std::error_code ec;
      fs::remove_all(TheWorld().dir.path(), ec);
    });
    return w;
  }();
  return *world;
}

void BM_AuthRoundTrip(benchmark::State& state) {
  World& w = TheWorld();
  if (!w.serviceUp) {
    state.SkipWithError(("the reference service did not start: " + w.service.error()).c_str());
    return;
  }
  const std::string body = tarn::AuthRequestBody("demo", "demo", tarn::AuthFreshness::Fresh);
  tarn::HttpRequest request;
  request.host = "127.0.0.1";
  request.port = static_cast<uint16_t>(w.service.port());
  request.method = "POST";
  request.target = "/api/auth";
  request.headers = {"Content-Type: application/json; charset=utf-8"};
  request.body = body;
  request.userAgent = "TarnLauncher/1.0";
  std::string response;
  tarn::HttpSink sink;
  sink.body = [&](std::string_view b) {
    response.append(b);
    return true;
  };
  for (auto _ : state) {
    response.clear();
    if (tarn::SendHttpRequest(request, sink).status != 200) {
      state.SkipWithError("the check did not pass");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AuthRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

std::vector<tarn::Account> Accounts(int64_t n) {
  std::vector<tarn::Account> list;
  for (int64_t i = 0; i < n; ++i) list.push_back({"player" + std::to_string(i), "пароль-" + std::to_string(i)});
  return list;
}

void BM_SaveAccounts(benchmark::State& state) {
  TheWorld();
  const auto list = Accounts(state.range(0));
  for (auto _ : state)
    if (!tarn::SaveAccounts(gParts.accounts, list)) state.SkipWithError("save failed");
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveAccounts)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LoadAccounts(benchmark::State& state) {
  TheWorld();
  const auto list = Accounts(state.range(0));
  if (!tarn::SaveAccounts(gParts.accounts, list)) state.SkipWithError("save failed");
  for (auto _ : state) {
    if (tarn::LoadAccounts(gParts.accounts).size() != list.size()) state.SkipWithError("load lost accounts");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadAccounts)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
