#include "download/request_path.h"

#include "bridge/base64.h"

namespace tarn {

std::string FileRequestPath(std::string_view listPath) { return "/api/file?n=" + EncodeBase64Url(listPath); }

}  // namespace tarn
