#include "convert/convert.h"

std::string_view read_tag(std::string& tag, InStream& in, Scan scan) {
  tag.assign(1, '<');
  if (scan == Scan::kByteByByte) {
    for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
      tag.push_back(static_cast<char>(c));
      if (c == '>') break;
    }
    return tag;
  }
  // The '<' just read is the byte before in.pos, so a tag that ends before the buffer does is
  // there whole and need not be copied.
  const auto* const start = reinterpret_cast<const char*>(in.buffer.get() + in.pos - 1);
  bool whole = in.pos < in.len;
  while (in.pos < in.len || refill(in)) {
    const unsigned char* const from = in.buffer.get() + in.pos;
    const unsigned char* const end = in.buffer.get() + in.len;
    const unsigned char* p = from;
    // Tags are short: a plain scan beats a call to memchr.
    while (p < end && *p != '>') {
      ++p;
    }
    const bool closed = p < end;
    if (closed) ++p;
    in.pos += std::size_t(p - from);
    if (whole && closed) return std::string_view(start, std::size_t(p - from) + 1);
    tag.append(reinterpret_cast<const char*>(from), std::size_t(p - from));
    whole = false;
    if (closed) break;
  }
  return tag;
}

void log_tag(std::string_view tag, OutStream& tags) {
  put_string(tags, tag);
  put_byte(tags, '\n');
}
