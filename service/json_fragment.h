#pragma once
// Pieces of the service's answers travel into Events verbatim ("roles",
// "news"). The reader that takes them out only balances brackets, so what
// it returns may still be broken JSON, or no container at all; a single
// such piece would make the page drop the whole Event.
#include <string>
#include <string_view>

namespace tarn {

// True when text is exactly one well-formed JSON array or object,
// optionally surrounded by white space. Nesting deeper than 256 levels
// counts as malformed.
bool IsJsonArrayOrObject(std::string_view text);

// The fragment as an Event may carry it: ill-formed UTF-8 replaced, and
// the fragment itself only when it is an array or object, otherwise [].
std::string ServiceFragmentOrEmptyList(std::string_view fragment);

}  // namespace tarn
