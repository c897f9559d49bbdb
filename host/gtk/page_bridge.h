#pragma once
// The page's side of the bridge under WebKitGTK. The page is written once
// against window.chrome.webview (postMessage, addEventListener('message'));
// a script injected before any of the page's own gives it the same object
// over a WebKit script message handler.
#include <string>
#include <string_view>

namespace tarn {

// The script message handler the injected object posts Commands to.
inline constexpr std::string_view kMessageHandlerName = "tarn";

// Defines window.chrome.webview at document start.
std::string PageBridgeScript();

// Text as a double-quoted JavaScript string literal that evaluates to the
// same characters. Ill-formed UTF-8 is replaced first, so the literal is
// always valid script.
std::string JsStringLiteral(std::string_view text);

// The script that hands one Event to the page. The Event travels only as a
// string literal and is JSON.parse'd by the injected object: parts of it
// come from the network and must never be evaluated as script. Text that
// does not parse is dropped there.
std::string EventDeliveryScript(std::string_view eventText);

}  // namespace tarn
