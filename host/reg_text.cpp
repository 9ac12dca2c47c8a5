#include "host/reg_text.h"

#include <cstdio>
#include <string_view>
#include <type_traits>

namespace host {

namespace {

// Windows-1252 0x80-0x9F; 0 marks the five bytes the code page leaves undefined.
constexpr char32_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

bool IsScalar(char32_t c) { return c < 0xD800 || (c >= 0xE000 && c <= 0x10FFFF); }

// Text decoded so far; `error` gets the line the fault is on.
class Decoder {
 public:
  explicit Decoder(std::string* error) : error_(error) {}
  void Put(char32_t c) {
    if (c == U'\n') ++line_;
    text_ += c;
  }
  bool Fail(const std::string& why) {
    if (error_) *error_ = "line " + std::to_string(line_) + ": " + why;
    return false;
  }
  const std::u32string& Text() const { return text_; }

 private:
  std::string* error_;
  std::u32string text_;
  int line_ = 1;
};

// One UTF-8 sequence at s[i]: its code point and length, or 0 when malformed
// (truncated, overlong, a surrogate, or beyond U+10FFFF).
std::size_t Utf8Sequence(std::string_view s, std::size_t i, char32_t& code) {
  if (i >= s.size()) return 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  char32_t min;
  if (lead < 0x80) return code = lead, 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, min = 0x80, code = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, min = 0x800, code = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, min = 0x10000, code = lead & 0x07;
  else return 0;
  if (s.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  return code >= min && IsScalar(code) ? length : 0;
}

bool DecodeUtf8(std::string_view s, Decoder& out) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t code;
    const std::size_t length = Utf8Sequence(s, i, code);
    if (!length) return out.Fail("invalid UTF-8 (at byte " + Hex(static_cast<unsigned char>(s[i]), 2) + ")");
    out.Put(code);
    i += length;
  }
  return true;
}

bool IsUtf8(std::string_view s) {
  char32_t code;
  for (std::size_t i = 0, n; i < s.size(); i += n)
    if (!(n = Utf8Sequence(s, i, code))) return false;
  return true;
}

bool DecodeWindows1252(std::string_view s, Decoder& out) {
  for (char ch : s) {
    const unsigned char b = static_cast<unsigned char>(ch);
    const char32_t code = b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b;
    if (!code && b) return out.Fail("byte " + Hex(b, 2) + " is not a Windows-1252 character");
    out.Put(code);
  }
  return true;
}

bool DecodeUtf16(std::string_view s, Decoder& out) {
  const auto unit = [&](std::size_t i) -> char32_t {
    return static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8;
  };
  std::size_t i = 0;
  for (; i + 1 < s.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < s.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      return out.Fail("invalid UTF-16 (an unpaired surrogate)");
    }
    out.Put(c);
  }
  if (i < s.size()) return out.Fail("invalid UTF-16 (the file ends in half a character)");
  return true;
}

// The first non-blank line of 8-bit text, trimmed.
std::string_view FirstLine(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find('\n', b);
  std::string_view line = s.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool DecodeRegText(const std::string& raw, std::string& utf8, std::string* error) {
  std::string_view s(raw);
  Decoder decoder(error);
  const auto starts = [&](std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; };
  bool decoded;
  if (starts("\xFF\xFE")) {
    decoded = DecodeUtf16(s.substr(2), decoder);
  } else if (starts("\xFE\xFF")) {
    return decoder.Fail("UTF-16 big-endian text is not a registry file (the editor writes little-endian)");
  } else if (s.size() >= 2 && s[0] != 0 && s[1] == 0) {
    decoded = DecodeUtf16(s, decoder);  // little-endian without its mark
  } else if (starts("\xEF\xBB\xBF")) {
    decoded = DecodeUtf8(s.substr(3), decoder);
  } else if (FirstLine(s) == "REGEDIT4" && !IsUtf8(s)) {
    decoded = DecodeWindows1252(s, decoder);
  } else {
    decoded = DecodeUtf8(s, decoder);
  }
  if (!decoded) return false;

  // Line ends are LF or CR LF; any other control character has no place in the
  // format (a name or string holding one could not be written back).
  const std::u32string& text = decoder.Text();
  int line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == U'\n') {
      ++line;
    } else if ((c < 0x20 && c != U'\t' && !(c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n')) ||
               c == 0x7F) {
      if (error) *error = "line " + std::to_string(line) + ": control character " + std::to_string(c) + " in the text";
      return false;
    }
  }
  utf8.clear();
  for (char32_t c : text) AppendUtf8(utf8, c);
  return true;
}

std::size_t Utf8SequenceAt(const std::string& text, std::size_t at, char32_t& code) {
  return Utf8Sequence(text, at, code);
}

bool WritableRegText(const std::wstring& text) {
  for (wchar_t wc : text) {
    const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
    if (!IsScalar(c) || (c < 0x20 && c != U'\t') || c == 0x7F) return false;
  }
  return true;
}

bool ParseHexNumber(const std::string& digits, std::uint64_t max, std::uint64_t& out) {
  if (digits.empty()) return false;
  std::uint64_t value = 0;
  for (char ch : digits) {
    int d;
    if (ch >= '0' && ch <= '9') d = ch - '0';
    else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
    else return false;
    if (static_cast<std::uint64_t>(d) > max || value > (max - static_cast<std::uint64_t>(d)) / 16) return false;
    value = value * 16 + static_cast<std::uint64_t>(d);
  }
  out = value;
  return true;
}

}  // namespace host
