// The character level of .reg text: which bytes make a file the registry
// editor would import, and which names and strings can be written back so
// that they read the same. Registry::Import and Registry::Export build on it.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// Decodes a .reg file's bytes into UTF-8 text. Accepted: UTF-16LE with or
// without its byte-order mark (what the editor writes), UTF-8 with or without
// its mark, and a REGEDIT4 file in the editor's ANSI code page (Windows-1252)
// when it is not valid UTF-8. Anything else (a broken sequence, an unpaired
// surrogate, a control character other than tab inside a line) is refused
// with "line N: ..." in `error`.
bool DecodeRegText(const std::string& raw, std::string& utf8, std::string* error);

// Whether `text` can stand in .reg text and read back the same: Unicode
// scalar values only, and no control character but tab.
bool WritableRegText(const std::wstring& text);

// The UTF-8 sequence at text[at]: its length, with the code point in `code`,
// or 0 when it is malformed (truncated, overlong, a surrogate, past U+10FFFF).
std::size_t Utf8SequenceAt(const std::string& text, std::size_t at, char32_t& code);

// Parses 1 or more hex digits (leading zeros allowed) into `out`; false when
// the text is empty, holds anything else, or the number exceeds `max`.
bool ParseHexNumber(const std::string& digits, std::uint64_t max, std::uint64_t& out);

}  // namespace host
