// tarn-publish: the operator's tool for the signed file list.
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/common/crypto.h"
#include "tools/common/file_list.h"
#include "tools/common/site.h"
#include "tools/publish/demo_site.h"
#include "tools/publish/launcher_release.h"

namespace fs = std::filesystem;
using namespace tarn::tools;

namespace {

const char kUsage[] =
    "usage:\n"
    "  tarn-publish keygen --private FILE --public FILE [--force]\n"
    "      make an RSA-2048 key pair; build the launcher with -DTARN_LIST_KEY=<public FILE>\n"
    "  tarn-publish list --client DIR --key PRIVATE.pem --build N [--no-packs] --out FILE|-\n"
    "      sign the files of a client folder into a list\n"
    "  tarn-publish site --site DIR --key PRIVATE.pem --build N [--no-packs] [--allow-older] [--keep-days N]\n"
    "                    [--epochs FILE]\n"
    "      sign DIR/client into DIR/TRN/element/files.md5 and write DIR/TRN/element/version;\n"
    "      a build below the site's current one only with --allow-older (launchers refuse it);\n"
    "      earlier builds' files stay served N days after they leave the list (default 7);\n"
    "      --epochs signs FILE's rows (build version day days-in-cycle name) into DIR/TRN/element/epochs\n"
    "  tarn-publish static --site DIR --out WEBROOT [--news] [--keep-days N]\n"
    "      write the published site as plain files any web server can serve (docs/operator.md);\n"
    "      without --news an earlier WEBROOT/news.json is removed\n"
    "  tarn-publish check (--list FILE | --static WEBROOT) --key PUBLIC.pem [--client DIR]\n"
    "      check a list's signature and content, and a client folder or a static web root against\n"
    "      it: files missing or not as listed, and files the list does not name; with --static also\n"
    "      the block indexes of large files, and with --client their blocks against DIR's files\n"
    "  tarn-publish launcher --site DIR --key PRIVATE.pem --version V [--windows INSTALLER] [--linux PACKAGE.deb]\n"
    "                        [--package NAME] [--expires-days N] [--serial N]\n"
    "      sign a new launcher's record into DIR/TRN/launcher/release (SHA-256, the list's key) with its files\n"
    "      beside it; the serial is the site's last plus one unless given (never lower), the record expires\n"
    "      after N days (default 30), NAME is the Linux package (default tarn-launcher)\n"
    "  tarn-publish demo --site DIR [--key PRIVATE.pem] [--build N] [--size-mib N] [--files N] [--seed N] [--force]\n"
    "      make the demo site (default: the demo key, build 3, about 50 MiB in about 300 files)\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "tarn-publish: %s\n%s", message.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "tarn-publish: %s\n", message.c_str());
  return 1;
}

// "--name value" options and "--flag" switches after the command word.
struct Options {
  std::map<std::string, std::string> values;
  std::map<std::string, bool> switches;
  std::string error;

  bool Parse(const std::vector<std::string>& args, const std::vector<std::string>& valued,
             const std::vector<std::string>& flags) {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        switches[a] = true;
      } else if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
        if (i + 1 >= args.size()) {
          error = a + " needs a value";
          return false;
        }
        values[a] = args[++i];
      } else {
        error = "unknown option: " + a;
        return false;
      }
    }
    return true;
  }
  bool Has(const std::string& k) const { return values.count(k) > 0; }
  const std::string& Get(const std::string& k) const { return values.at(k); }
  bool On(const std::string& k) const { return switches.count(k) > 0; }
};

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && p == text.data() + text.size();
}

bool MissingOption(const Options& o, const std::vector<std::string>& required, std::string& why) {
  for (const auto& r : required) {
    if (!o.Has(r)) {
      why = r + " is required";
      return true;
    }
  }
  return false;
}

int KeyGen(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--private", "--public"}, why)) return Usage(why);
  const fs::path privatePath = o.Get("--private");
  const fs::path publicPath = o.Get("--public");
  std::error_code ec;
  if (!o.On("--force") && (fs::exists(privatePath, ec) || fs::exists(publicPath, ec))) {
    return Fail("a key file already exists; refusing to overwrite it without --force");
  }
  std::string privatePem;
  std::string publicPem;
  if (!GenerateKeyPair(privatePem, publicPem, why)) return Fail(why);
  // The private key is readable by its owner only from the first byte on.
  const mode_t old = ::umask(077);
  const bool written = WriteFileAtomic(privatePath, privatePem, why);
  ::umask(old);
  if (!written || !WriteFileAtomic(publicPath, publicPem, why)) return Fail(why);
  std::printf("private key: %s (keep it secret; it signs the lists)\npublic key:  %s (build it into the launcher)\n"
              "Back the private key up offline now: it cannot be made again, and without it no launcher built with\n"
              "this public key accepts another list.\n",
              privatePath.c_str(), publicPath.c_str());
  return 0;
}

bool ReadKey(const Options& o, std::string& pem, std::string& why) {
  if (!ReadWholeFile(o.Get("--key"), pem) || pem.empty()) {
    why = "cannot read the key " + o.Get("--key");
    return false;
  }
  return true;
}

int List(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--client", "--key", "--build", "--out"}, why)) return Usage(why);
  int build = 0;
  if (!ParseNumber(o.Get("--build"), build) || build < 0) return Usage("--build wants a number of 0 or more");
  std::string pem;
  if (!ReadKey(o, pem, why)) return Fail(why);
  std::vector<ListFile> files;
  if (!CollectClientFiles(o.Get("--client"), files, why)) return Fail(why);
  std::string document;
  if (!SignList(ListText(build, o.On("--no-packs"), files), pem, document, why)) return Fail(why);
  if (o.Get("--out") == "-") {
    std::fwrite(document.data(), 1, document.size(), stdout);
  } else if (!WriteFileAtomic(o.Get("--out"), document, why)) {
    return Fail(why);
  }
  std::fprintf(stderr, "signed %zu files, build %d\n", files.size(), build);
  return 0;
}

// --keep-days: how long files of earlier builds stay served.
bool KeepDays(const Options& o, int& days) {
  days = kDefaultKeepDays;
  return !o.Has("--keep-days") || (ParseNumber(o.Get("--keep-days"), days) && days >= 0 && days <= 3650);
}

int Site(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--site", "--key", "--build"}, why)) return Usage(why);
  int build = 0;
  if (!ParseNumber(o.Get("--build"), build) || build < 0) return Usage("--build wants a number of 0 or more");
  // Launchers that have had the current build refuse a lower one as a
  // rollback; old content goes out again under a new, higher number.
  if (const int current = PublishedBuild(o.Get("--site")); build < current && !o.On("--allow-older"))
    return Fail("the site publishes build " + std::to_string(current) + "; launchers that have had it refuse build " +
                std::to_string(build) + ". To roll back, publish the old client as a build above " +
                std::to_string(current) + " (or pass --allow-older to sign it anyway)");
  int keepDays = 0;
  if (!KeepDays(o, keepDays)) return Usage("--keep-days wants a number of days from 0 to 3650");
  std::string pem;
  if (!ReadKey(o, pem, why)) return Fail(why);
  // The table goes out before the list, so a launcher that sees the new
  // build finds its name.
  if (o.Has("--epochs")) {
    std::string table;
    std::string notes;
    if (!ReadWholeFile(o.Get("--epochs"), table)) return Fail("cannot read the epoch table " + o.Get("--epochs"));
    if (!PublishEpochs(o.Get("--site"), pem, table, build, notes, why)) return Fail(why);
    if (!notes.empty()) std::printf("note: %s\n", notes.c_str());
  }
  size_t count = 0;
  if (!PublishSite(o.Get("--site"), pem, build, o.On("--no-packs"), keepDays, count, why)) return Fail(why);
  std::printf("published %zu files as build %d in %s\n", count, build, o.Get("--site").c_str());
  return 0;
}

int Static(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--site", "--out"}, why)) return Usage(why);
  int keepDays = 0;
  if (!KeepDays(o, keepDays)) return Usage("--keep-days wants a number of days from 0 to 3650");
  size_t count = 0;
  if (!WriteStaticSite(o.Get("--site"), o.Get("--out"), o.On("--news"), keepDays, count, why)) return Fail(why);
  std::printf("wrote %zu client files, the list and the version%s to %s\n", count,
              o.On("--news") ? ", the news" : "", o.Get("--out").c_str());
  return 0;
}

int Check(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--key"}, why)) return Usage(why);
  if (o.Has("--list") == o.Has("--static")) return Usage("check wants one of --list and --static");
  const std::string listPath = o.Has("--list") ? o.Get("--list") : SiteListPath(o.Get("--static")).string();
  std::string document;
  std::string pem;
  if (!ReadWholeFile(listPath, document)) return Fail("cannot read the list " + listPath);
  if (!ReadKey(o, pem, why)) return Fail(why);
  const ListCheck check = CheckList(document, pem);
  for (const auto& p : check.problems) std::printf("problem: %s\n", p.c_str());
  for (const auto& n : check.notes) std::printf("note: %s\n", n.c_str());
  bool clientOk = true;
  if (o.Has("--client")) {
    for (const auto& d : CompareWithClient(check, o.Get("--client"))) {
      std::printf("client: %s\n", d.c_str());
      clientOk = false;
    }
  }
  if (o.Has("--static")) {
    for (const auto& d : CheckStaticRoot(check, o.Get("--static"))) {
      std::printf("web root: %s\n", d.c_str());
      clientOk = false;
    }
    const std::string client = o.Has("--client") ? o.Get("--client") : std::string();
    for (const auto& d : CheckBlockIndexes(check, SiteObjectsDir(o.Get("--static")), client)) {
      std::printf("web root: %s\n", d.c_str());
      clientOk = false;
    }
  }
  std::printf("signature: %s\nbuild: %d\nfiles: %zu\ntotal bytes: %llu%s\n", check.signatureOk ? "valid" : "INVALID",
              check.build, check.entries.size(), static_cast<unsigned long long>(check.totalSize),
              check.sizesKnown ? "" : " (sizes not known)");
  const bool ok = check.ok && clientOk;
  std::printf("%s\n", ok ? "list OK" : "list REFUSED");
  return ok ? 0 : 1;
}

int Launcher(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--site", "--key", "--version"}, why)) return Usage(why);
  LauncherPublish publish;
  publish.site = o.Get("--site");
  publish.version = o.Get("--version");
  if (o.Has("--windows")) publish.windowsFile = o.Get("--windows");
  if (o.Has("--linux")) publish.linuxFile = o.Get("--linux");
  if (o.Has("--package")) publish.package = o.Get("--package");
  if (o.Has("--expires-days") && !ParseNumber(o.Get("--expires-days"), publish.expiresDays))
    return Usage("--expires-days wants a number of days");
  if (o.Has("--serial")) {
    int32_t serial = 0;
    if (!ParseNumber(o.Get("--serial"), serial) || serial < 0) return Usage("--serial wants a number of 0 or more");
    publish.serial = serial;
  }
  publish.now = static_cast<int64_t>(std::time(nullptr));
  if (!ReadKey(o, publish.privatePem, why)) return Fail(why);
  int32_t serial = 0;
  if (!PublishLauncher(publish, serial, why)) return Fail(why);
  std::printf("published launcher %s as record %d in %s\n", publish.version.c_str(), static_cast<int>(serial),
              SiteLauncherDir(publish.site).c_str());
  return 0;
}

int Demo(const Options& o) {
  std::string why;
  if (MissingOption(o, {"--site"}, why)) return Usage(why);
  DemoOptions demo;
  demo.site = o.Get("--site");
  demo.force = o.On("--force");
  const std::string key = o.Has("--key") ? o.Get("--key") : std::string(TARN_DEMO_KEY_DIR "/demo-list-private.pem");
  if (!ReadWholeFile(key, demo.privatePem) || demo.privatePem.empty()) return Fail("cannot read the key " + key);
  if (o.Has("--build") && (!ParseNumber(o.Get("--build"), demo.build) || demo.build < 0)) return Usage("bad --build");
  if (o.Has("--size-mib") && !ParseNumber(o.Get("--size-mib"), demo.sizeMib)) return Usage("bad --size-mib");
  if (o.Has("--files") && (!ParseNumber(o.Get("--files"), demo.files) || demo.files < 0)) return Usage("bad --files");
  if (o.Has("--seed") && !ParseNumber(o.Get("--seed"), demo.seed)) return Usage("bad --seed");
  DemoSummary summary;
  if (!MakeDemoSite(demo, summary, why)) return Fail(why);
  std::printf("demo site in %s: %zu files, %llu bytes, build %d\n"
              "run it with: tarn-service --site %s\n",
              demo.site.c_str(), summary.files, static_cast<unsigned long long>(summary.bytes), demo.build,
              demo.site.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  bool parsed = false;
  int (*run)(const Options&) = nullptr;
  if (command == "keygen") {
    parsed = o.Parse(args, {"--private", "--public"}, {"--force"});
    run = KeyGen;
  } else if (command == "list") {
    parsed = o.Parse(args, {"--client", "--key", "--build", "--out"}, {"--no-packs"});
    run = List;
  } else if (command == "site") {
    parsed = o.Parse(args, {"--site", "--key", "--build", "--keep-days", "--epochs"}, {"--no-packs", "--allow-older"});
    run = Site;
  } else if (command == "static") {
    parsed = o.Parse(args, {"--site", "--out", "--keep-days"}, {"--news"});
    run = Static;
  } else if (command == "check") {
    parsed = o.Parse(args, {"--list", "--static", "--key", "--client"}, {});
    run = Check;
  } else if (command == "launcher") {
    parsed = o.Parse(args, {"--site", "--key", "--version", "--windows", "--linux", "--package", "--expires-days",
                            "--serial"},
                     {});
    run = Launcher;
  } else if (command == "demo") {
    parsed = o.Parse(args, {"--site", "--key", "--build", "--size-mib", "--files", "--seed"}, {"--force"});
    run = Demo;
  } else {
    return Usage("unknown command: " + command);
  }
  if (!parsed) return Usage(o.error);
  return run(o);
}
