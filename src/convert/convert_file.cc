#include "convert/convert.h"

void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console) {
  std::string tag;
  std::string entity;
  tag.reserve(kTagBufferSize);
  entity.reserve(kEntityBufferSize);
  // Whitespace met since the last ordinary byte; a tag may set it below 0 so that the
  // first whitespace bytes after it vanish, or above 1 so that all of them do.
  int space_run = 0;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (c == '<') {
      read_tag(tag, in);
      log_tag(tag, tags);
      space_run = render_tag(tag, text);
    } else if (c == '&') {
      read_entity(entity, in);
      decode_entity(entity, text, console);
    } else if (is_space(c)) {
      if (++space_run == 1) put_byte(text, ' ');
    } else {
      put_byte(text, c);
      space_run = 0;
    }
  }
}
