#include "link/TraceJson.h"

#include <cstdio>

namespace kelvo {
namespace {

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int follow = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      follow = 2;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      follow = 3;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(follow) >= text.size()) return false;
    for (int k = 1; k <= follow; ++k) {
      const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (c & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((follow == 2 && code < 0x800) || (follow == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(follow) + 1;
  }
  return true;
}

void AppendEscaped(std::string& out, std::uint32_t code) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(code));
  out += buf;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  // Only Latin-1 code points come here.
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string JsonString(std::string_view text) {
  const bool utf8 = IsValidUtf8(text);
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendEscaped(out, c);
        } else if (c >= 0x80 && !utf8) {
          AppendUtf8(out, c);
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

TraceLine::TraceLine(double atMs, std::string_view call, const std::optional<std::string>& serial) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f", atMs);
  text_ = serial ? "{\"serial\":" + JsonString(*serial) + "," : "{";
  text_ += std::string("\"t\":") + buf + ",\"call\":" + JsonString(call) + ",\"args\":[";
}

void TraceLine::Separate() {
  if (!firstArg_) text_ += ',';
  firstArg_ = false;
}

TraceLine& TraceLine::Number(long long value) {
  Separate();
  text_ += std::to_string(value);
  return *this;
}

TraceLine& TraceLine::String(std::string_view text) {
  Separate();
  text_ += JsonString(text);
  return *this;
}

TraceLine& TraceLine::Hex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char Digits[] = "0123456789abcdef";
  Separate();
  text_ += '"';
  text_.reserve(text_.size() + 2 * count + 32);
  for (std::size_t i = 0; i < count; ++i) {
    text_ += Digits[bytes[i] >> 4];
    text_ += Digits[bytes[i] & 0x0F];
  }
  text_ += '"';
  return *this;
}

std::string TraceLine::Finish(std::uint32_t status, std::string_view members) {
  text_ += "],\"status\":" + std::to_string(status);
  if (!members.empty()) text_.append(",").append(members);
  text_ += "}";
  return std::move(text_);
}

std::string LineErrorsMember(const LineErrorCounts& counts) {
  return "\"lineErrors\":{\"overrun\":" + std::to_string(counts.overrun) +
         ",\"parity\":" + std::to_string(counts.parity) + ",\"framing\":" + std::to_string(counts.framing) +
         ",\"break\":" + std::to_string(counts.breaks) + "}";
}

}  // namespace kelvo
