// The JSON and text helpers that read the page's Commands and the
// service's answers: JsonField, the payload decoder and the UTF-8/UTF-16
// converters.
#include <string>

#include "bridge/text.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = fuzz::Bytes(data, size);
  const std::string whole(input);
  const std::string_view key = fuzz::Head(input);
  const std::string json(input);

  // A field's raw value is a piece of the text it was read from.
  const std::string raw = JsonField(json, key);
  Check(raw.empty() || json.find(raw) != std::string::npos, "JsonField returns a piece of its input");
  // Decoded values and every conversion are always valid UTF-8.
  const std::string value = JsonString(json, key);
  Check(SanitizeUtf8(value) == value, "JsonString gives valid UTF-8");
  Check(value == JsonUnescape(raw), "JsonString is JsonUnescape of JsonField");
  const std::string unescaped = JsonUnescape(whole);
  Check(SanitizeUtf8(unescaped) == unescaped, "JsonUnescape gives valid UTF-8");

  // Escaping and decoding undo each other, up to the repair of bad UTF-8.
  const std::string clean = SanitizeUtf8(whole);
  Check(SanitizeUtf8(clean) == clean, "SanitizeUtf8 is idempotent");
  const std::string escaped = JsonEscape(whole);
  for (unsigned char c : escaped) Check(c >= 0x20, "JsonEscape leaves no control character");
  Check(JsonUnescape(escaped) == clean, "JsonUnescape undoes JsonEscape");
  Check(JsonString("{\"k\":\"" + escaped + "\"}", "k") == clean, "an escaped value reads back whole");

  // UTF-8 to UTF-16 and back is the repaired text; any UTF-16 becomes
  // valid UTF-8.
  Check(WideToUtf8(Utf8ToWide(whole)) == clean, "UTF-8 survives a trip through UTF-16");
  std::u16string wide(size / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  const std::string narrow = WideToUtf8(wide);
  Check(SanitizeUtf8(narrow) == narrow, "WideToUtf8 gives valid UTF-8");
  return 0;
}
