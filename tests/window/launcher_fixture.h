#pragma once
// The launcher as a player meets it: the real program on a private X
// server, watched from outside through the X tools, its log and a stand-in
// for the desktop's default browser and mail program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/launcher.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "x_session.h"

namespace tarn::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
  bool viewable = false;
};

inline int FieldAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

// The program (a hard link, or a copy) two folders deep in a temporary
// tree, so that the fallback ../../ui lands inside the tree too, with home
// and XDG folders of its own. The desktop's handler for web and mail addresses is a shell line
// that appends each address it is given to opened.txt.
class Launcher : public ::testing::Test {
 protected:
  void SetUp() override { Prepare("1920x1080x24"); }

  void Prepare(const std::string& screen) {
    xvfb_ = std::make_unique<Xvfb>(screen);
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    app_ = root_.path() / "a" / "b" / "app";
    PlaceProgram(TARN_LAUNCHER, app_);
    for (const char* dir : {"home", "config", "data/applications", "cache", "runtime"})
      fs::create_directories(root_.path() / dir);
    fs::permissions(root_.path() / "runtime", fs::perms::owner_all);
    WriteFile(root_.path() / "data/applications/fake-handler.desktop",
                    "[Desktop Entry]\nType=Application\nName=Handler\n"
                    "Exec=sh -c 'printf \"%%s\\\\n\" \"$1\" >> " + Opened().string() + "' sh %u\n"
                    "MimeType=x-scheme-handler/https;x-scheme-handler/http;x-scheme-handler/mailto;"
                    "x-scheme-handler/tarn-test;text/plain;\n");
    WriteFile(root_.path() / "config/mimeapps.list",
                    "[Default Applications]\nx-scheme-handler/https=fake-handler.desktop\n"
                    "x-scheme-handler/http=fake-handler.desktop\nx-scheme-handler/mailto=fake-handler.desktop\n"
                    "x-scheme-handler/tarn-test=fake-handler.desktop\ntext/plain=fake-handler.desktop\n");
  }

  fs::path Opened() const { return root_.path() / "opened.txt"; }

  std::vector<std::string> Environment() const {
    const std::string r = root_.str();
    return {
        "DISPLAY=" + xvfb_->display(), "GDK_BACKEND=x11", "PATH=/usr/local/bin:/usr/bin:/bin",
        "HOME=" + r + "/home", "XDG_CONFIG_HOME=" + r + "/config", "XDG_DATA_HOME=" + r + "/data",
        "XDG_DATA_DIRS=/usr/local/share:/usr/share", "XDG_CACHE_HOME=" + r + "/cache",
        "XDG_RUNTIME_DIR=" + r + "/runtime",
        // No session bus, accessibility bus or settings daemon in a test:
        // each would otherwise be looked for (or started) and waited on.
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + r + "/no-bus", "NO_AT_BRIDGE=1", "GSETTINGS_BACKEND=memory",
        // Xvfb has no GPU; WebKit renders in software without compositing.
        "WEBKIT_DISABLE_COMPOSITING_MODE=1", "LIBGL_ALWAYS_SOFTWARE=1",
        // GTK and WebKit keep their caches until exit; those are not ours.
        "ASAN_OPTIONS=detect_leaks=0",
    };
  }

  void WritePage(const std::string& body, const fs::path& folder = {}) {
    const fs::path ui = folder.empty() ? app_ / "ui" : folder;
    fs::create_directories(ui);
    WriteFile(ui / "index.html", "<!doctype html><meta charset='utf-8'><title>test</title>" + body);
  }

  std::unique_ptr<Child> Start() {
    return std::make_unique<Child>((app_ / "tarn-launcher").string(), app_.string(), Environment());
  }

  std::string X(const std::string& tool) { return Capture("DISPLAY=" + xvfb_->display() + " " + tool + " 2>/dev/null"); }

  // The launcher's visible top-level windows, found by window class.
  std::vector<std::string> Windows() {
    std::istringstream ids(X("xdotool search --onlyvisible --class TarnLauncherWindow"));
    std::vector<std::string> out;
    for (std::string id; ids >> id;) out.push_back(id);
    return out;
  }

  std::string WaitForWindow() {
    std::vector<std::string> found;
    WaitUntil([&] { return !(found = Windows()).empty(); }, 20s);
    return found.empty() ? std::string() : found.front();
  }

  Geometry GeometryOf(const std::string& window) {
    const std::string info = X("xwininfo -id " + window);
    return {FieldAfter(info, "Absolute upper-left X:"), FieldAfter(info, "Absolute upper-left Y:"),
            FieldAfter(info, "Width:"), FieldAfter(info, "Height:"), info.find("IsViewable") != std::string::npos};
  }

  std::vector<std::string> OpenedAddresses() {
    std::istringstream in(ReadFile(Opened()));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  bool WasOpened(const std::string& address) {
    const auto all = OpenedAddresses();
    return std::find(all.begin(), all.end(), address) != all.end();
  }

  // The report address the test pages open last, once all else is done.
  bool WaitForOpened(const std::string& address) {
    return WaitUntil([&] { return WasOpened(address); }, 20s);
  }

  std::vector<std::string> LogLines() {
    const std::u16string units = LogUnits(ReadFile(app_ / "launcher.log"));
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < units.size(); ++i) {
      if (units[i] == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
        lines.push_back(line);
        line.clear();
        ++i;
        continue;
      }
      const char16_t u = units[i];  // the host's lines are all in the BMP
      if (u < 0x80) {
        line += static_cast<char>(u);
      } else if (u < 0x800) {
        line += static_cast<char>(0xC0 | (u >> 6));
        line += static_cast<char>(0x80 | (u & 0x3F));
      } else {
        line += static_cast<char>(0xE0 | (u >> 12));
        line += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        line += static_cast<char>(0x80 | (u & 0x3F));
      }
    }
    return lines;
  }

  // How many pixels of the window have exactly this colour.
  int PixelsOfColour(const std::string& window, const std::string& hex) {
    const std::string histogram =
        X("import -window " + window + " -depth 8 -format %c histogram:info:- | grep -i '#" + hex + "\\b'");
    return std::atoi(histogram.c_str());
  }

  TempDir root_;
  std::unique_ptr<Xvfb> xvfb_;
  fs::path app_;
};
}  // namespace tarn::test
