// The conversion engine: one pass over an HTML input that writes the text file and the tag file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text_stream.h"

// The whitespace bytes: tab, LF, VT, FF, CR and space, whatever the locale.
inline constexpr bool is_space(int c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Room kept for a tag and for an entity name; either grows, and keeps its size, for a longer one.
inline constexpr std::size_t kTagBufferSize = 1000;
inline constexpr std::size_t kEntityBufferSize = 100;

// How the input is read: kBulk takes runs of text and of tag bytes straight from the stream's
// buffer; kByteByByte reads every byte through get_byte. Both give the same result, byte for
// byte: the second is the plain definition that the tests hold the first to.
enum class Scan { kBulk, kByteByByte };

// Converts the whole input: text to the text file, each tag to a line of the tag file, and a
// line on the console for each entity that cannot be converted. Leaves the streams open.
void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console,
                  Scan scan = Scan::kBulk);

// Reads the rest of a tag, just after its '<', up to and including the first '>' or up to the
// end of the input, and returns the whole tag from its '<'. The tag is collected in tag, or,
// when it lies whole in the input's buffer, left there: either way it stays valid until the
// input is read again.
std::string_view read_tag(std::string& tag, InStream& in, Scan scan = Scan::kBulk);

// Writes the tag as one line of the tag file.
void log_tag(std::string_view tag, OutStream& tags);

// Writes the tag's rendering to the text file and returns the new space_run.
int render_tag(std::string_view tag, OutStream& text);

// Reads an entity name after its '&' into name, up to a ';' or a space, or the end of the input.
void read_entity(std::string& name, InStream& in);

// Writes the entity's replacement to the text file, or reports the name on the console.
void decode_entity(std::string_view name, OutStream& text, OutStream& console);
