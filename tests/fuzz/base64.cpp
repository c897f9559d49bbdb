// DecodeBase64: the list's path tokens and signature.
#include <string>

#include "bridge/base64.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  std::string decoded = "stale";
  if (DecodeBase64(input, decoded)) {
    // Whatever decodes encodes back to the same letters, blanks and
    // padding aside. The last letter of an unpadded end may carry bits no
    // encoder sets; they are ignored, as every common decoder does.
    std::string letters;
    for (char c : input)
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '=') letters += c;
    std::string again = EncodeBase64(decoded);
    while (!again.empty() && again.back() == '=') again.pop_back();
    Check(again.size() == letters.size(), "decoded bytes encode to as many letters");
    const size_t exact = letters.size() % 4 == 0 ? letters.size() : letters.size() - 1;
    Check(again.compare(0, exact, letters, 0, exact) == 0, "decoded bytes encode back to the input");
  }
  // Any bytes survive an encoding and a decoding.
  std::string back;
  Check(DecodeBase64(EncodeBase64(input), back) && back == input, "EncodeBase64 then DecodeBase64 is the identity");
  return 0;
}
