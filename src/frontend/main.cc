// skrivel: converts one HTML file into a text file and a list of its tags.
//
// The run goes straight through: banner, checks and questions, the three files opened, one
// conversion pass, the summary. Every check and question comes before any file is touched.

#include <string>
#include <string_view>

#include "convert/convert.h"
#include "frontend/file_checks.h"
#include "platform/text_stream.h"

namespace {

constexpr std::string_view kBanner = "\nSkrivel (DOS) HTML-->ASCII Converter Version 1.31\n";
constexpr std::string_view kRights = "Copyright (c) 2026 the Skrivel authors; MIT License.\n\n";
constexpr std::string_view kUsage =
    "\nUsage: skrivel filename.html [<output_textfilename>] [<output_tagfilename>]\n";

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

}  // namespace

int main(int argc, char* argv[]) {
  OutStream console;
  InStream answers;
  open_console(console);
  open_standard_input(answers);

  print(console, kBanner);
  print(console, kRights);
  if (argc < 2) {
    print(console, kUsage);
    return kFailure;
  }
  const std::string_view input_name = argv[1];
  if (!check_filename(input_name, console)) return kFailure;

  std::string text_name;
  std::string tag_name;
  const bool derive_text_name = argc < 3;
  const bool derive_tag_name = argc < 4;
  if (!derive_text_name) {
    text_name = argv[2];
    if (!check_filename(text_name, console) ||
        !confirm_output(text_name, input_name, {}, console, answers)) {
      return kFailure;
    }
  }
  if (!derive_tag_name) {
    tag_name = argv[3];
    if (!check_filename(tag_name, console) ||
        !confirm_output(tag_name, input_name, text_name, console, answers)) {
      return kFailure;
    }
  }

  if (!has_html_extension(input_name)) {
    print(console, "\nNot a valid HTML file.\n");
    return kFailure;
  }
  const std::string_view base = base_name(input_name);
  if (derive_text_name) {
    text_name = std::string(base) + ".txt";
    if (!confirm_output(text_name, input_name, {}, console, answers)) return kFailure;
  }
  if (derive_tag_name) {
    tag_name = std::string(base) + "_t.txt";
    if (!confirm_output(tag_name, input_name, text_name, console, answers)) return kFailure;
  }

  InStream input;
  if (!open_input(input, input_name)) {
    print(console, "\nCan't open this HTML file. Is your path correct?\n");
    return kFailure;
  }
  print(console, "\n%s opened successfully...\n", input_name);

  OutStream text;
  OutStream tags;
  const bool text_created = open_output(text, text_name);
  if (!text_created) print(console, "\nERROR-Unable to create %s\n", text_name);
  const bool tags_created = open_output(tags, tag_name);
  if (!tags_created) print(console, "\nERROR-Unable to create %s\n", tag_name);
  print(console, "\nConverting....\n\n");

  convert_file(input, text, tags, console);

  // An output that could not be created drops what the conversion wrote to it; one that ran
  // out of room or failed to close was not written completely. Either way the run failed.
  const bool tags_written = tags_created && close_output(tags);
  const bool text_written = text_created && close_output(text);
  const bool input_read = close_input(input);
  if (!input_read) print(console, "\nERROR-Unable to read %s\n", input_name);
  if (text_created && !text_written) print(console, "\nERROR-Unable to write %s\n", text_name);
  if (tags_created && !tags_written) print(console, "\nERROR-Unable to write %s\n", tag_name);

  const bool success = input_read && text_written && tags_written;
  print(console, success ? "File conversion successful.\n\n" : "File conversion failed.\n\n");
  if (text_written) print(console, "TEXTFILE = %s\n", text_name);
  if (tags_written) print(console, "TAGFILE = %s\n", tag_name);
  return success ? kSuccess : kFailure;
}
