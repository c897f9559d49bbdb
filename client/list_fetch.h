#pragma once
// The one road from the operator's service to a list the launcher may act
// on: fetch, check the signature, parse. Verification, update and install
// all take it and only word its outcome differently.
#include <string>

#include "bridge/context.h"
#include "client/context.h"
#include "client/file_list.h"

namespace tarn {

enum class ListFetch {
  Ok,            // list holds the parsed, signed list
  Unreachable,   // no answer, or not 200
  TooLarge,      // an answer past the ceiling this launcher reads
  BadSignature,  // an answer that the built-in key does not vouch for
  Malformed,     // signed, but no one may act on it: list.defect says why
  Older,         // signed and whole, but of a lower build than this launcher has had
};

// Asks the service for "/TRN/element/files.md5". Ok, Malformed and Older
// fill list; anything else leaves it as it was. A list without a build
// number is never Older.
ListFetch FetchFileList(ClientContext& ctx, FileList& list);

// The largest signed list this launcher reads, in bytes.
size_t MaxListBytes();

// What is wrong with a TooLarge, Malformed or Older list, as one sentence
// for the player; each job adds what it did about it.
std::string ListRefusalText(ClientContext& ctx, ListFetch fetched, const FileList& list);

}  // namespace tarn
