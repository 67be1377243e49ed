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

}  // namespace

void read_entity(std::string& name, InStream& in) {
  name.clear();
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (c == ';') return;
    if (c == ' ') {
      name += "& ";
      return;
    }
    name.push_back(static_cast<char>(c));
  }
}

const std::string_view* find_entity(std::string_view name) {
  for (const Entity& entity : kEntities) {
    if (name == entity.name) return &entity.replacement;
  }
  return nullptr;
}

void report_entity(std::string_view name, OutStream& console) {
  print(console, "Unable to convert special character: &%s;\n", name);
}

void decode_entity(std::string_view name, OutStream& text, OutStream& console) {
  if (const std::string_view* replacement = find_entity(name)) {
    put_string(text, *replacement);
  } else {
    report_entity(name, console);
  }
}
