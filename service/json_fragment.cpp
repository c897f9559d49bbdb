#include "service/json_fragment.h"

#include "bridge/text.h"

namespace tarn {
namespace {

constexpr int kMaxDepth = 256;

// A strict one-pass recogniser of RFC 8259 JSON: no tree is built, only
// the position advances.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text) {}

  bool Document() {
    SkipSpace();
    if (At('[') || At('{')) {
      if (!Value(0)) return false;
    } else {
      return false;
    }
    SkipSpace();
    return i_ == s_.size();
  }

 private:
  bool At(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool Eat(char c) {
    if (!At(c)) return false;
    ++i_;
    return true;
  }
  void SkipSpace() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool Digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }
  bool Digits() {
    if (!Digit()) return false;
    while (Digit()) ++i_;
    return true;
  }

  bool Value(int depth) {
    if (depth >= kMaxDepth || i_ >= s_.size()) return false;
    switch (s_[i_]) {
      case '{':
        return Object(depth + 1);
      case '[':
        return Array(depth + 1);
      case '"':
        return String();
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return Number();
    }
  }

  bool Object(int depth) {
    ++i_;  // {
    SkipSpace();
    if (Eat('}')) return true;
    for (;;) {
      SkipSpace();
      if (!At('"') || !String()) return false;
      SkipSpace();
      if (!Eat(':')) return false;
      SkipSpace();
      if (!Value(depth)) return false;
      SkipSpace();
      if (Eat('}')) return true;
      if (!Eat(',')) return false;
    }
  }

  bool Array(int depth) {
    ++i_;  // [
    SkipSpace();
    if (Eat(']')) return true;
    for (;;) {
      SkipSpace();
      if (!Value(depth)) return false;
      SkipSpace();
      if (Eat(']')) return true;
      if (!Eat(',')) return false;
    }
  }

  bool String() {
    ++i_;  // opening quote
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k, ++i_) {
          if (i_ >= s_.size()) return false;
          const char h = s_[i_];
          if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'))) return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  bool Word(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool Number() {
    Eat('-');
    if (Eat('0')) {
      if (Digit()) return false;  // no leading zeros
    } else if (!Digits()) {
      return false;
    }
    if (Eat('.') && !Digits()) return false;
    if (At('e') || At('E')) {
      ++i_;
      if (!Eat('+')) Eat('-');
      if (!Digits()) return false;
    }
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

bool IsJsonArrayOrObject(std::string_view text) { return Scanner(text).Document(); }

std::string ServiceFragmentOrEmptyList(std::string_view fragment) {
  std::string clean = SanitizeUtf8(fragment);
  return IsJsonArrayOrObject(clean) ? clean : std::string("[]");
}

}  // namespace tarn
