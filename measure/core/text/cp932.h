// Code page 932 (Shift-JIS as Windows writes it) at file boundaries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnel::text {

// UTF-8 -> CP932 bytes.  Characters that CP932 cannot hold become "?".
std::string ToCp932(std::string_view utf8);
// CP932 bytes -> UTF-8; nullopt when the bytes are not valid CP932.
std::optional<std::string> FromCp932(std::string_view cp932);
// Number of characters of a UTF-8 text (code points).
std::size_t CharCount(std::string_view utf8);
// The first character of a UTF-8 text that does not come back unchanged
// through code page 932: one it cannot hold at all ("ä", an emoji) or one
// it holds as another character ("〜" U+301C returns as "～" U+FF5E).
// nullopt when the whole text comes back unchanged.
std::optional<std::string> FirstCharacterNotKeptByCp932(std::string_view utf8);

}  // namespace varnel::text
