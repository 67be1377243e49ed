#include "convert/convert.h"

std::string_view read_tag(std::string& tag, InStream& in) {
  tag.assign(1, '<');
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    tag.push_back(static_cast<char>(c));
    if (c == '>') break;
  }
  return tag;
}

void log_tag(std::string_view tag, OutStream& tags) {
  put_string(tags, tag);
  put_byte(tags, '\n');
}
