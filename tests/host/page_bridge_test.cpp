// The script text the host builds: every Event goes into the page as a
// string literal, so the literal must mean exactly the Event text to a real
// JavaScript engine, whatever the text holds.
#include <gtest/gtest.h>
#include <jsc/jsc.h>

#include <memory>
#include <string>

#include "bridge/text.h"
#include "host/gtk/page_bridge.h"

namespace tarn {
namespace {

struct Unref {
  void operator()(gpointer p) const { g_object_unref(p); }
};

// Evaluates script in a fresh engine; the string value, or "<exception>".
std::string Evaluate(const std::string& script) {
  std::unique_ptr<JSCContext, Unref> context(jsc_context_new());
  std::unique_ptr<JSCValue, Unref> value(jsc_context_evaluate(context.get(), script.data(), script.size()));
  if (jsc_context_get_exception(context.get())) return "<exception>";
  GBytes* bytes = jsc_value_to_string_as_bytes(value.get());
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string out(data ? data : "", size);
  g_bytes_unref(bytes);
  return out;
}

TEST(PageBridge, StringLiteralsMeanExactlyTheirText) {
  const std::string texts[] = {
      "",
      "plain",
      R"({"toast":{"kind":"error","text":"Неверный логин или пароль"}})",
      "quote \" backslash \\ both \\\" end",
      std::string("controls \t\n\r\b\f\x01\x1f\x7f and NUL ") + '\0' + " inside",
      "line separators \u2028 and \u2029 stay characters",
      "\"); window.pwned = true; (\"",
      "'); window.pwned = true; ('",
      "</script><script>window.pwned = true</script>",
      "${window.pwned = true}`",
      "emoji 🗡️ and \xF0\x9F\x98\x80",
  };
  for (const std::string& text : texts) EXPECT_EQ(Evaluate(JsStringLiteral(text)), text) << text;
}

TEST(PageBridge, IllFormedTextBecomesReplacementCharacters) {
  const std::string broken = "a\xC3(b\xFF";
  EXPECT_EQ(Evaluate(JsStringLiteral(broken)), SanitizeUtf8(broken));
  EXPECT_EQ(Evaluate(JsStringLiteral("\xE2\x80")), "\xEF\xBF\xBD");
}

TEST(PageBridge, EventDeliveryNeverRunsTheEventText) {
  // Only the injected object's delivery function is called; a text built to
  // break out of the literal stays data.
  const std::string script = R"(
    var got = [];
    var window = { chrome: { webview: { __tarnDeliver: function (t) { got.push(t); } } }, pwned: false };
  )" + EventDeliveryScript("\"); window.pwned = true; (\"") +
                             EventDeliveryScript("{\"a\":\"\\u2028\"}") + "String(window.pwned) + '|' + got.join('|')";
  EXPECT_EQ(Evaluate(script), "false|\"); window.pwned = true; (\"|{\"a\":\"\\u2028\"}");
  // On a page without the bridge (the error page) delivery is a no-op, not
  // an exception.
  EXPECT_EQ(Evaluate("var window = {};" + EventDeliveryScript("{}") + "'ok'"), "ok");
}

}  // namespace
}  // namespace tarn
