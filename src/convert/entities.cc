#include "convert/convert.h"

namespace {

struct Entity {
  std::string_view name, replacement;
};

// Looked up in this order; the first equal name wins. A name ended by a space carries "& "
// behind it, so only the bare "& " matches such a name.
// clang-format off
constexpr Entity kEntities[] = {
    {"& ",    "& "},            // 1
    {"lt",    "<"},             // 2
    {"#60",   "<"},             // 3
    {"gt",    ">"},             // 4
    {"#62",   ">"},             // 5
    {"amp",   "&"},             // 6
    {"#38",   "&"},             // 7
    {"nbsp",  " "},             // 8
    {"quot",  "\""},            // 9
    {"#34",   "\""},            // 10
    {"copy",  "[Copyright]"},   // 11
    {"#169",  "[Copyright]"},   // 12
    {"reg",   "[Registered]"},  // 13
    {"#174",  "[Registered]"},  // 14
    {"trade", "[Trademark]"},   // 15
    {"#153",  "[Trademark]"},   // 16
};
// clang-format on
static_assert(std::size(kEntities) == 16);

// Begins the console line of a name not in the table: the text before it, and the name so far.
void begin_report(std::string_view name, OutStream& console) {
  put_string(console, kBeforeName);
  put_name(console, name);
}

// Adds bytes to the name; once it is too long to be in the table, they go to its console line.
void add_to_name(EntityBuffer& name, std::string_view bytes, OutStream& console) {
  if (!name.reported && name.size + bytes.size() >= kEntityBufferSize) {  // NUL's room kept
    begin_report({name.bytes, name.size}, console);
    name.reported = true;
  }
  if (name.reported) {
    put_name(console, bytes);
    return;
  }
  std::memcpy(name.bytes + name.size, bytes.data(), bytes.size());
  name.size += bytes.size();
}

// Ends a console line that begin_report began.
void end_report(OutStream& console) {
  end_name(console);
  print(console, kAfterName);
}

}  // namespace

void read_entity(EntityBuffer& name, InStream& in, OutStream& console) {
  name.size = 0;
  name.reported = false;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (c == ';') return;
    if (c == ' ') {
      add_to_name(name, "& ", console);
      return;
    }
    const char byte = static_cast<char>(c);
    add_to_name(name, {&byte, 1}, console);
  }
}

const std::string_view* find_entity(std::string_view name) {
  for (const Entity& entity : kEntities) {
    if (name == entity.name) return &entity.replacement;
  }
  return nullptr;
}

void report_entity(std::string_view name, OutStream& console, bool ended_by_space) {
  begin_report(name, console);
  if (ended_by_space) put_name(console, "& ");
  end_report(console);
}

void decode_entity(std::string_view name, OutStream& text, OutStream& console) {
  if (const std::string_view* replacement = find_entity(name)) {
    put_string(text, *replacement);
  } else {
    report_entity(name, console);
  }
}

void decode_entity(const EntityBuffer& name, OutStream& text, OutStream& console) {
  if (name.reported) {
    end_report(console);
  } else {
    decode_entity({name.bytes, name.size}, text, console);
  }
}
