// Formatting of detections and scores.
#include "report.h"

#include <cmath>
#include <cstdio>

namespace kalwake_app {

namespace {

// A float with enough digits to read back the same value; JSON has no NaN or infinity, so
// those become null (a model that outputs NaN yields a NaN score).
std::string json_number(float v) {
  if (!std::isfinite(v)) {
    return "null";
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

std::string text_number(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(v));
  return buf;
}

// Bytes of the well-formed UTF-8 character that starts at p (at most `left` bytes), or 0.
size_t utf8_length(const unsigned char *p, size_t left) {
  size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    len = 2;
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    len = 3;
    lo = p[0] == 0xE0 ? 0xA0 : 0x80; // no overlong forms
    hi = p[0] == 0xED ? 0x9F : 0xBF; // no surrogates
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    len = 4;
    lo = p[0] == 0xF0 ? 0x90 : 0x80;
    hi = p[0] == 0xF4 ? 0x8F : 0xBF;
  }
  if (len == 0 || len > left || p[1] < lo || p[1] > hi) {
    return 0;
  }
  for (size_t i = 2; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
  }
  return len;
}

} // namespace

std::string chunk_time(int64_t chunk) {
  // 80 ms a chunk: hundredths of a second are 8 per chunk.
  const long long centis = static_cast<long long>(chunk) * 8;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%02lld", centis / 100, centis % 100);
  return buf;
}

// A JSON string: escapes, and U+FFFD for each byte that is not part of well-formed UTF-8
// (file names need not be UTF-8), so that every line parses.
std::string json_string(const std::string &text) {
  std::string out = "\"";
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = bytes[i];
    if (c >= 0x80) {
      const size_t len = utf8_length(bytes + i, text.size() - i);
      if (len == 0) {
        out += "\\ufffd";
      } else {
        out.append(text, i, len);
        i += len - 1;
      }
      continue;
    }
    const char ch = static_cast<char>(c);
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
    case '\t':
      out += "\\t";
      break;
    case '\r':
      out += "\\r";
      break;
    default:
      if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        out += buf;
      } else {
        out += ch;
      }
    }
  }
  out += '"';
  return out;
}

std::string detection_line(const ReportStyle &style, const std::string &input, int64_t chunk,
                           const std::string &model, int index, float score) {
  if (style.json) {
    return "{\"event\":\"detection\",\"input\":" + json_string(input) +
           ",\"chunk\":" + std::to_string(chunk) + ",\"time\":" + chunk_time(chunk) +
           ",\"model\":" + json_string(model) + ",\"index\":" + std::to_string(index) +
           ",\"score\":" + json_number(score) + "}\n";
  }
  return input + "  " + chunk_time(chunk) + " s  " + model + "  score " + text_number(score) + "\n";
}

std::string scores_line(const ReportStyle &style, const std::string &input, int64_t chunk,
                        const std::vector<float> &scores) {
  std::string out;
  if (style.json) {
    out = "{\"event\":\"scores\",\"input\":" + json_string(input) +
          ",\"chunk\":" + std::to_string(chunk) + ",\"time\":" + chunk_time(chunk) +
          ",\"scores\":[";
    for (size_t i = 0; i < scores.size(); ++i) {
      out += (i > 0 ? "," : "") + json_number(scores[i]);
    }
    return out + "]}\n";
  }
  out = input + "  " + chunk_time(chunk) + " s  scores";
  for (const float s : scores) {
    out += " " + text_number(s);
  }
  return out + "\n";
}

} // namespace kalwake_app
