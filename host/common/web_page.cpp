#include "host/common/web_page.h"

namespace tarn {

std::string ErrorPageHtml(long errorStatus) {
  // Same colours as the web view's own background, so a failed start never
  // flashes white; selection is off because there is nothing to copy but
  // the code, which support asks for by voice.
  std::string html =
      "<!doctype html><meta charset='utf-8'><style>"
      "html,body{height:100%;margin:0;display:grid;place-items:center;background:#0b111a;color:#cfdae6;"
      "font:14px/1.6 'Segoe UI',sans-serif;user-select:none;-webkit-user-select:none}"
      "div{max-width:38ch;text-align:center}"
      "h1{font:600 18px/1.3 Constantia,Georgia,serif;margin:0 0 .6em;color:#6fd3e0}"
      "code{font:12px Consolas,monospace;color:#7d90a6}"
      "</style><div><h1>Интерфейс не загрузился</h1>"
      "<p>Не найден каталог <code>ui</code> рядом с программой или он повреждён. Переустановите лаунчер.</p>"
      "<p><code>код ";
  html += std::to_string(errorStatus);
  html += "</code></p></div>";
  return html;
}

NavigationVerdict DecideNavigation(std::string_view address, std::string_view uiPrefix) {
  if (!uiPrefix.empty() && address.starts_with(uiPrefix)) return NavigationVerdict::Allow;
  if (address.starts_with("https://") || address.starts_with("http://")) return NavigationVerdict::CancelAndOpen;
  return NavigationVerdict::Cancel;
}

bool MayOpenNewWindowAddress(std::string_view address) {
  for (const char c : address)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  auto hasScheme = [address](std::string_view scheme) {
    if (address.size() <= scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i)
      if ((address[i] | 0x20) != scheme[i] && address[i] != scheme[i]) return false;
    return true;
  };
  return hasScheme("https://") || hasScheme("http://") || hasScheme("mailto:");
}

}  // namespace tarn
