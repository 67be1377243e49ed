#include "convert/convert.h"

namespace {

// The bytes held that are not in the tag file yet.
std::string_view unlogged(const TagBuffer& tag) {
  const std::size_t from = tag.spilled ? kRenderingLength : 0;
  return {tag.bytes + from, tag.size - from};
}

}  // namespace

void read_tag(TagBuffer& tag, InStream& in, OutStream& tags) {
  tag.bytes[0] = '<';
  tag.size = 1;
  tag.spilled = false;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (tag.size == kTagBufferSize) {
      put_string(tags, unlogged(tag));
      tag.size = kRenderingLength;
      tag.spilled = true;
    }
    tag.bytes[tag.size++] = static_cast<char>(c);
    if (c == '>') break;
  }
}

std::string_view tag_string(const TagBuffer& tag) {
  return {tag.bytes, tag.spilled ? kRenderingLength : tag.size};
}

void log_tag(const TagBuffer& tag, OutStream& tags) {
  log_tag(unlogged(tag), tags);
}

void log_tag(std::string_view tag, OutStream& tags) {
  put_string(tags, tag);
  put_byte(tags, '\n');
}
