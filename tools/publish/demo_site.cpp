#include "tools/publish/demo_site.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "tools/common/site.h"

namespace tarn::tools {
namespace fs = std::filesystem;
namespace {

// xorshift64*: fast, and the same seed gives the same client on every
// machine, so two demo sites made alike have the same list.
class SeededBytes {
 public:
  explicit SeededBytes(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  void Fill(char* data, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const uint64_t v = Next();
      std::copy_n(reinterpret_cast<const char*>(&v), 8, data + i);
    }
    const uint64_t v = Next();
    std::copy_n(reinterpret_cast<const char*>(&v), n - i, data + i);
  }

 private:
  uint64_t state_;
};

bool WriteRandomFile(const fs::path& file, uint64_t size, SeededBytes& bytes, std::string& error) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  uint64_t left = size;
  while (out && left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    bytes.Fill(buffer.data(), n);
    out.write(buffer.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out.flush();
  if (!out) {
    error = "cannot write " + file.string();
    return false;
  }
  return true;
}

}  // namespace

// The stand-in game (tools/demo/standin), built with mingw-w64 and embedded
// at build time: it records how it was started in launch-record.txt beside
// itself.
extern const unsigned char kStandInExe[];
extern const std::size_t kStandInExeSize;

namespace {

const char kAccounts[] = R"({
  "accounts": [
    {
      "login": "demo",
      "password": "demo",
      "roles": [
        {"name": "Арина", "class": "Маг", "level": 42},
        {"name": "Borislav", "class": "Воин", "level": 17}
      ]
    },
    {
      "login": "тестер",
      "password": "пароль 123",
      "roles": [
        {"name": "Ёжик в тумане", "class": "Жрец", "level": 1}
      ]
    },
    {
      "login": "novice",
      "password": "novice",
      "roles": []
    }
  ]
}
)";

const char kNews[] = R"({"news":[
  {"date": "2026-12-01", "tag": "Обновление", "title": "Эпоха «Излом» открыта", "text": "Новые земли, новые пути. Обновите клиент через лаунчер."},
  {"date": "2026-11-20", "tag": "Событие", "title": "Зимняя ярмарка", "text": "С 20 по 27 декабря на площади Заречья торгуют купцы из-за моря."},
  {"date": "2026-11-02", "tag": "Сервер", "title": "Плановые работы", "text": "Во вторник с 6:00 до 8:00 по Москве сервер будет недоступен."}
]}
)";

}  // namespace

namespace {

// An empty client folder for the site; an existing site is replaced only
// when the operator forces it.
bool PrepareClientFolder(const DemoOptions& options, const fs::path& client, std::string& error) {
  const fs::path& site = options.site;
  std::error_code ec;
  if (fs::exists(client, ec) || fs::exists(SiteListPath(site), ec)) {
    if (!options.force) {
      error = site.string() + " already holds a site (use --force to replace it)";
      return false;
    }
    fs::remove_all(client, ec);
    fs::remove_all(SiteUpdateDir(site), ec);
  }
  fs::create_directories(client, ec);
  if (ec) {
    error = "cannot create " + client.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// The client folder being filled, and what went into it so far.
struct DemoClient {
  fs::path folder;
  SeededBytes bytes;
  DemoSummary& summary;

  bool AddRandom(const fs::path& rel, uint64_t size, std::string& error) {
    if (!WriteRandomFile(folder / rel, size, bytes, error)) return false;
    ++summary.files;
    summary.bytes += size;
    return true;
  }
};

// The stand-in executable, a readme and the odd cases: an empty file, a
// one-byte file, Cyrillic and spaces in names.
bool AddFixedFiles(DemoClient& client, std::string& error) {
  if (!WriteFileAtomic(client.folder / "ElementClient.exe",
                 std::string(reinterpret_cast<const char*>(kStandInExe), kStandInExeSize), error)) {
    return false;
  }
  ::chmod((client.folder / "ElementClient.exe").c_str(), 0755);  // for the operator's eyes; a download carries no mode
  client.summary.files += 1;
  client.summary.bytes += kStandInExeSize;
  if (!WriteFileAtomic(client.folder / "Прочти меня.txt", "Демо-клиент ТАРН. Файлы здесь — случайные байты для проверки лаунчера. ElementClient.exe только "
                 "записывает, как его запустили, в launch-record.txt рядом с собой (с паролем демо-учётки).\n",
                 error)) {
    return false;
  }
  client.summary.files += 1;
  return client.AddRandom("element/пустой файл.dat", 0, error) && client.AddRandom("element/один байт.bin", 1, error);
}

constexpr const char* kPacks[] = {"element/models.pck", "element/textures.pck", "element/sound.pck",
                                  "element/interfaces.pck", "element/Карты мира.pck"};

// Most of the size sits in a few pack archives, as in a real client.
bool AddPacks(DemoClient& client, uint64_t packBytes, std::string& error) {
  const uint64_t weights[] = {30, 30, 20, 5, 15};
  for (size_t i = 0; i < std::size(kPacks); ++i) {
    if (!client.AddRandom(fs::path(kPacks[i]), packBytes * weights[i] / 100, error)) return false;
  }
  return true;
}

// The rest spreads over many small files in nested folders.
bool AddSmallFiles(DemoClient& client, int count, uint64_t budget, std::string& error) {
  static const char* kFolders[] = {"element/maps/Мир 1",       "element/maps/Мир 1/зона 07", "element/maps/world 2/zone 11",
                                   "element/interfaces/окна",   "element/interfaces/fonts",   "element/scripts/квесты/глава 1",
                                   "element/scripts/quests/ch 2", "element/sfx",              "element/Настройки по умолчанию",
                                   "patcher/lang/ru",           "patcher/lang/en"};
  const uint64_t average = count > 0 ? budget / static_cast<uint64_t>(count) : 0;
  for (int i = 0; i < count; ++i) {
    const char* folder = kFolders[static_cast<size_t>(i) % std::size(kFolders)];
    // Sizes between a quarter and seven quarters of the average.
    const uint64_t size = average == 0 ? 0 : average / 4 + client.bytes.Next() % (average * 3 / 2 + 1);
    const std::string name = (i % 3 == 0 ? "файл " : i % 3 == 1 ? "data_" : "Ресурс-") + std::to_string(i) +
                             (i % 2 == 0 ? ".dat" : ".cfg");
    if (!client.AddRandom(fs::path(folder) / name, size, error)) return false;
  }
  return true;
}

// The summary as published: the files the list names, the bytes on disk.
void SummarizePublished(const fs::path& client, size_t listed, DemoSummary& summary) {
  std::error_code ec;
  summary.files = listed;
  summary.bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(client, ec)) {
    if (entry.is_regular_file(ec)) summary.bytes += entry.file_size(ec);
  }
}

}  // namespace

bool MakeDemoSite(const DemoOptions& options, DemoSummary& summary, std::string& error) {
  const fs::path& site = options.site;
  const fs::path client = SiteClientDir(site);
  if (!PrepareClientFolder(options, client, error)) return false;
  summary = {};
  DemoClient demo{client, SeededBytes(options.seed), summary};
  if (!AddFixedFiles(demo, error)) return false;
  const uint64_t total = options.sizeMib << 20;
  const uint64_t packBytes = total * 4 / 5;
  if (!AddPacks(demo, packBytes, error)) return false;
  const int smallCount = std::max(0, options.files - static_cast<int>(summary.files) - static_cast<int>(std::size(kPacks)));
  if (!AddSmallFiles(demo, smallCount, total > packBytes ? total - packBytes : 0, error)) return false;

  if (!WriteFileAtomic(SiteAccountsPath(site), kAccounts, error) || !WriteFileAtomic(SiteNewsPath(site), kNews, error)) return false;
  size_t listed = 0;
  if (!PublishSite(site, options.privatePem, options.build, false, kDefaultKeepDays, listed, error)) return false;
  SummarizePublished(client, listed, summary);
  return true;
}

}  // namespace tarn::tools
