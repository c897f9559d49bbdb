#pragma once
#include <filesystem>
#include <string>

namespace tarn::test {

// A fresh folder under the system's temporary folder, removed with all its
// content when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const;  // UTF-8, as the launcher's own paths are

 private:
  std::filesystem::path path_;
};

// The launcher keeps paths as UTF-8 text, while path::string() on Windows
// speaks the ANSI code page; these convert without loss on both platforms.
std::filesystem::path Utf8Path(const std::string& utf8);
std::string PathUtf8(const std::filesystem::path& path);

// Whole-file helpers for fixtures.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace tarn::test
