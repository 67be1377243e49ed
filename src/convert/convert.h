// The conversion engine: one pass over an HTML input that writes the text file and the tag file.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/text_stream.h"

// The whitespace bytes: tab, LF, VT, FF, CR and space, whatever the locale.
inline constexpr bool is_space(int c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Room kept for a tag and for an entity name. Neither ever grows: a longer one is written out
// as it is read.
inline constexpr std::size_t kTagBufferSize = 1000;
inline constexpr std::size_t kEntityBufferSize = 100;

// A tag's rendering depends only on its first kRenderingHead bytes and on its length counted up
// to kRenderingLength (tag_rules.cc proves it from the rule table), so a longer tag renders as
// its first kRenderingLength bytes do.
inline constexpr std::size_t kRenderingHead = 8;
inline constexpr std::size_t kRenderingLength = 10;

// The tag being read, from its '<'. It is held whole while it fits; past that, what is held goes
// to the tag file and only the first kRenderingLength bytes stay, for the rendering.
struct TagBuffer {
  char bytes[kTagBufferSize];
  std::size_t size = 0;  // bytes held
  bool spilled = false;  // bytes held after the first kRenderingLength are all that is not logged
};
static_assert(kTagBufferSize > kRenderingLength);

// The entity name being read, with "& " behind it if a space ended it. A name too long for the
// buffer cannot be in the table: its console line is begun, and the rest of the name goes there
// as it is read.
struct EntityBuffer {
  char bytes[kEntityBufferSize];
  std::size_t size = 0;   // bytes held
  bool reported = false;  // the name is being written to its console line instead
};

// The memory a conversion works in beside its streams' buffers: the block scans' rows and
// packed bytes for an input buffer, and room for the renderings of tags. Taken before any
// output is touched, so that converting takes no memory at all.
struct ConversionMemory {
  std::unique_ptr<unsigned char[]> rows;
  std::unique_ptr<unsigned char[]> packed;
  OutStream renderings;
  std::size_t refill_size = 0;  // the most raw bytes a refill may read that it has room for
};

// Takes the memory to convert an input that reads refill_size raw bytes at a time.
void take_conversion_memory(ConversionMemory& memory, std::size_t refill_size);

// Converts the whole input: text to the text file, each tag to a line of the tag file, and a
// line on the console for each entity that cannot be converted, by the fastest scan this
// machine has (block_scan.h), in memory taken for in.refill_size. Leaves the streams open.
void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console,
                  ConversionMemory& memory);

// convert_file as defined: one byte at a time through get_byte, each dispatched on the spot.
// Every faster scan is held to it.
void convert_byte_by_byte(InStream& in, OutStream& text, OutStream& tags, OutStream& console);

// Reads the rest of a tag, just after its '<', up to and including the first '>' or up to the
// end of the input, into tag. A tag too long to hold goes to the tag file as it is read.
void read_tag(TagBuffer& tag, InStream& in, OutStream& tags);

// What render_tag needs of the tag read: the whole tag, or the first bytes of a long one.
std::string_view tag_string(const TagBuffer& tag);

// Writes the tag as one line of the tag file (what read_tag has not written of it already).
void log_tag(const TagBuffer& tag, OutStream& tags);
void log_tag(std::string_view tag, OutStream& tags);

// Writes the tag's rendering to the text file and returns the new space_run.
int render_tag(std::string_view tag, OutStream& text);

// The most one tag's rendering can write, every rule matching and every line break as CR LF.
extern const std::size_t kLongestRendering;

// Reads an entity name after its '&' into name, up to a ';' or a space, or the end of the input.
// A name too long to be in the table goes to its console line as it is read.
void read_entity(EntityBuffer& name, InStream& in, OutStream& console);

// The replacement of an entity name in the table, or nullptr for a name not in it.
const std::string_view* find_entity(std::string_view name);

// The console line of an entity name not in the table, the name in place of %s, and its text
// before the name and after it.
inline constexpr std::string_view kCannotConvert = "Unable to convert special character: &%s;\n";
inline constexpr std::string_view kBeforeName = kCannotConvert.substr(0, kCannotConvert.find("%s"));
inline constexpr std::string_view kAfterName = kCannotConvert.substr(kBeforeName.size() + 2);

// Says on the console that the entity name is not in the table; a name that a space ended
// carries "& " behind it.
void report_entity(std::string_view name, OutStream& console, bool ended_by_space = false);

// Writes the entity's replacement to the text file, or reports the name on the console.
void decode_entity(std::string_view name, OutStream& text, OutStream& console);
void decode_entity(const EntityBuffer& name, OutStream& text, OutStream& console);
