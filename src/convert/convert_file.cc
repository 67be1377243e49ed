#include "convert/block_scan.h"

namespace {

// space_run counts whitespace since the last ordinary byte, but only its way up to 1 matters:
// one space is written when it reaches 1, and past 1 nothing changes, so it stops there.
inline bool count_space(int& space_run) {
  return space_run < 1 && ++space_run == 1;
}

}  // namespace

void convert_byte_by_byte(InStream& in, OutStream& text, OutStream& tags, OutStream& console) {
  TagBuffer tag;
  EntityBuffer entity;
  // Whitespace met since the last ordinary byte. A tag sets it: to -1 so that the first
  // whitespace byte after the tag vanishes, to 1 or 2 so that all of it does.
  int space_run = 0;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (c == '<') {
      read_tag(tag, in, tags);
      log_tag(tag, tags);
      space_run = render_tag(tag_string(tag), text);
    } else if (c == '&') {
      read_entity(entity, in, console);
      decode_entity(entity, text, console);
    } else if (is_space(c)) {
      if (count_space(space_run)) put_byte(text, ' ');
    } else {
      put_byte(text, c);
      space_run = 0;
    }
  }
}

void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console,
                  ConversionMemory& memory) {
  convert_with(fastest_scan(), in, text, tags, console, memory);
}
