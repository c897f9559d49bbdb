#include "host/gtk/page_bridge.h"

#include "bridge/text.h"
#include "platform/encoding.h"

namespace tarn {

std::string PageBridgeScript() {
  // The object is frozen and the delivery function hidden behind a
  // non-enumerable, read-only property, so the page can use the API but not
  // replace the road Events arrive by. Listeners get a MessageEvent whose
  // data is the parsed object, as the Windows web view gives them.
  return R"JS((function () {
  'use strict';
  const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.)JS" +
         std::string(kMessageHandlerName) + R"JS(;
  if (!handler) return;
  const target = new EventTarget();
  const webview = {
    postMessage(message) { handler.postMessage(message); },
    addEventListener(type, listener, options) { target.addEventListener(type, listener, options); },
    removeEventListener(type, listener, options) { target.removeEventListener(type, listener, options); },
  };
  Object.defineProperty(webview, '__tarnDeliver', {
    value: function (text) {
      let data;
      try { data = JSON.parse(text); } catch (e) { return; }
      target.dispatchEvent(new MessageEvent('message', { data: data }));
    },
  });
  Object.freeze(webview);
  if (typeof window.chrome !== 'object' || window.chrome === null) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
})();)JS";
}

std::string JsStringLiteral(std::string_view text) {
  const std::string clean = SanitizeUtf8(text);
  std::string out;
  out.reserve(clean.size() + 2);
  out += '"';
  for (size_t i = 0; i < clean.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(clean[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          AppendHex(out, c);
        } else if (c == 0xE2 && i + 2 < clean.size() && static_cast<unsigned char>(clean[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(clean[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(clean[i + 2]) == 0xA9)) {
          // U+2028 and U+2029 end a line in older script grammars; escaped,
          // they cannot cut the literal on any engine.
          out += static_cast<unsigned char>(clean[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string EventDeliveryScript(std::string_view eventText) {
  return "window.chrome&&window.chrome.webview&&window.chrome.webview.__tarnDeliver(" + JsStringLiteral(eventText) +
         ");";
}

}  // namespace tarn
