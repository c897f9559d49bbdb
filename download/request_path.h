#pragma once
// Where the service serves one listed file.
#include <string>
#include <string_view>

namespace tarn {

// Exactly 32 hexadecimal digits, either case: what a list's checksum and a
// content-named copy's name look like.
bool IsMd5Hex(std::string_view text);

// "/api/file?n=" and the list path's UTF-8 in Base64 with "=" padding, "+"
// and "/" written as "-" and "_" so that the query needs no escaping. With a
// well-formed listed MD5, "&h=" and its lower-case digits follow: a server
// that keeps every build's files under their content answers with exactly
// these bytes even after a newer build replaced the file under its name.
std::string FileRequestPath(std::string_view listPath, std::string_view md5 = {});

// Where the block index of the file that fileRequestPath asks for is
// served: the same query under "/api/blocks". Only a request that names the
// MD5 has one (an index describes one content); empty otherwise.
std::string BlockIndexRequestPath(std::string_view fileRequestPath);

}  // namespace tarn
