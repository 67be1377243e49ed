#include "frontend/file_checks.h"

#include <array>

int check_filename(std::string_view name, OutStream& console) {
  if (name.empty()) {
    print(console, "\nYou must enter a filename.\n");
    return 0;
  }
  if (name.size() > kMaxNameLength) {
    print(console, "\nYou have exceeded the maximum pathlength of %d characters\n",
          std::to_string(kMaxNameLength));
    return 0;
  }
  static constexpr std::string_view kRefused = "\t \"+,/;=[]";
  const std::size_t at = name.find_first_of(kRefused);
  if (at != std::string_view::npos) {
    print(console, "\n'%c' is not a legal filename character.\n", name.substr(at, 1));
    return 0;
  }
  return 1;
}

namespace {

// Asks whether the file under the name may be replaced: 1 on a yes, 0 on a no or at the end of
// the answers.
int ask_overwrite(std::string_view name, OutStream& console, InStream& answers) {
  print(console, "File %s already exists.  Overwrite (y/n)? ", name);
  for (;;) {
    switch (get_byte(answers)) {
      case 'y':
      case 'Y':
        return 1;
      case 'n':
      case 'N':
        return 0;
      case kEnd:  // nobody is left to answer: keep the file
        print(console, "\n");
        return 0;
      default:
        break;
    }
  }
}

}  // namespace

int confirm_overwrite(std::string_view name, OutStream& console, InStream& answers) {
  return !file_exists(name) || ask_overwrite(name, console, answers);
}

int confirm_output(std::string_view name, std::string_view input_name, std::string_view text_name,
                   OutStream& console, InStream& answers, bool& there) {
  if (same_file(name, input_name)) {
    print(console, "\nERROR-%s is the input file\n", name);
    return 0;
  }
  if (!text_name.empty() && same_file(name, text_name)) {
    print(console, "\nERROR-%s is also the text file\n", name);
    return 0;
  }
  there = file_exists(name);
  return !there || ask_overwrite(name, console, answers);
}

int check_opened_outputs(const RunFile& input, const RunFile& text, const RunFile& tags,
                         OutStream& console) {
  for (const RunFile* output : {&text, &tags}) {
    if (same_id(output->id, input.id)) {
      print(console, "\nERROR-%s is the input file\n", output->name);
      return 0;
    }
  }
  if (same_id(tags.id, text.id)) {
    print(console, "\nERROR-%s is also the text file\n", tags.name);
    return 0;
  }
  return 1;
}

int check_standard_output(const OutStream& console, const RunFile& input, const RunFile& text,
                          const RunFile& tags, OutStream& errors) {
  const FileId standard_output = id_of_regular_file(console.fd);
  const struct {
    const RunFile& file;
    std::string_view message;
  } files[] = {
      {input, "\nERROR-standard output is the input file\n"},
      {text, "\nERROR-standard output is the text file\n"},
      {tags, "\nERROR-standard output is the tag file\n"},
  };
  for (const auto& f : files) {
    if (same_id(standard_output, f.file.id)) {
      print(errors, f.message);
      return 0;
    }
  }
  return 1;
}

bool has_html_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension = name.substr(dot + 1);
  static constexpr std::array<std::string_view, 4> kExtensions = {"htm", "HTM", "html", "HTML"};
  for (const std::string_view accepted : kExtensions) {
    if (extension == accepted) return true;
  }
  return false;
}

std::string_view base_name(std::string_view name) {
  return name.substr(0, name.rfind('.'));
}
