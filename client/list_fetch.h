#pragma once
// The one road from the operator's service to a list the launcher may act
// on: fetch, check the signature, parse. Verification, update and install
// all take it and only word its outcome differently.
#include "client/file_list.h"

namespace tarn {

enum class ListFetch {
  Ok,            // list holds the parsed, signed list
  Unreachable,   // no answer, or not 200
  BadSignature,  // an answer that the built-in key does not vouch for
};

// Asks the service for "/TRN/element/files.md5". Anything but Ok leaves
// list as it was.
ListFetch FetchFileList(FileList& list);

}  // namespace tarn
