// skrivel: converts one HTML file into a text file and a list of its tags.
//
// The run goes straight through: banner, checks and questions, the three files opened and
// checked, one conversion pass, the summary. Every check and question comes before any file
// is changed: the outputs are emptied only once the files actually opened have passed.

#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "convert/convert.h"
#include "frontend/file_checks.h"
#include "platform/files.h"
#include "platform/text_stream.h"

namespace {

constexpr std::string_view kBanner = "\nSkrivel (DOS) HTML-->ASCII Converter Version 1.31\n";
constexpr std::string_view kRights = "Copyright (c) 2026 the Skrivel authors; MIT License.\n\n";
constexpr std::string_view kUsage =
    "\nUsage: skrivel filename.html [<output_textfilename>] [<output_tagfilename>]\n";

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

// What the run has to tell if memory runs out: the console, once it is open, and whether the
// outputs are being opened.
OutStream* g_console = nullptr;
bool g_outputs_open = false;

// Called in place of failing any allocation, which can only happen before the conversion: the
// run says so and ends, as any other failed run does, instead of aborting.
[[noreturn]] void out_of_memory() {
  constexpr std::string_view kMessage = "\nERROR-Not enough memory\n";
  if (g_console == nullptr) {
    (void)::write(1, kMessage.data(), static_cast<unsigned>(kMessage.size()));
  } else {
    g_console->batched = false;
    print(*g_console, kMessage);
    if (g_outputs_open) print(*g_console, "File conversion failed.\n\n");
  }
  std::_Exit(kFailure);
}

// The names of the run's files: typed, or derived from the input name.
struct Names {
  std::string input, text, tags;
};

Names names_of_run(int argc, char* argv[]) {
  Names names;
  if (argc < 2) return names;
  names.input = argv[1];
  const std::string base(base_name(names.input));
  names.text = argc > 2 ? argv[2] : base + ".txt";
  names.tags = argc > 3 ? argv[3] : base + "_t.txt";
  return names;
}

// Closes the outputs of a refused run and removes any that it created for nothing.
void abandon(OutStream& out, bool created, std::string_view name) {
  if (out.fd < 0) return;
  out.len = 0;  // nothing was written, and nothing may be
  (void)close_output(out);
  if (created) remove_file(name);
}

// Gives up an output that cannot be taken, as one that could not be created; returns false.
bool give_up(OutStream& out, bool created, std::string_view name, OutStream& console) {
  abandon(out, created, name);
  print(console, "\nERROR-Unable to create %s\n", name);
  return false;
}

// Locks an output that passed the checks against other runs. One that another run holds is
// given up, and left as it is: even if this run made it, the run that holds it writes it now.
bool lock_or_give_up(OutStream& out, std::string_view name, OutStream& console) {
  return lock_file(out.fd) || give_up(out, false, name, console);
}

// Empties an output that passed the checks; one that cannot be emptied is given up.
bool empty_or_give_up(OutStream& out, bool created, std::string_view name, OutStream& console) {
  return empty_output(out) || give_up(out, created, name, console);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::set_new_handler(out_of_memory);
  OutStream console;
  OutStream errors;
  InStream answers;
  open_console(console);
  g_console = &console;
  open_error_console(errors);
  open_standard_input(answers);
  ignore_write_signals();

  // Standard output into the page would feed the program its own messages; into an output,
  // mix them with the text. Said before anything is written there.
  const Names names = names_of_run(argc, argv);
  if (!check_standard_output({names.input, id_of_name(names.input)},
                             {names.text, id_of_name(names.text)},
                             {names.tags, id_of_name(names.tags)}, errors)) {
    return kFailure;
  }

  print(console, kBanner);
  print(console, kRights);
  if (argc < 2) {
    print(console, kUsage);
    return kFailure;
  }
  const std::string& input_name = names.input;
  if (!check_filename(input_name, console)) return kFailure;

  // Typed names are checked and confirmed before the extension test, derived ones after it.
  const std::string& text_name = names.text;
  const std::string& tag_name = names.tags;
  const bool derive_text_name = argc < 3;
  const bool derive_tag_name = argc < 4;
  if (!derive_text_name) {
    if (!check_filename(text_name, console) ||
        !confirm_output(text_name, input_name, {}, console, answers)) {
      return kFailure;
    }
  }
  if (!derive_tag_name) {
    if (!check_filename(tag_name, console) ||
        !confirm_output(tag_name, input_name, text_name, console, answers)) {
      return kFailure;
    }
  }

  if (!has_html_extension(input_name)) {
    print(console, "\nNot a valid HTML file.\n");
    return kFailure;
  }
  if (derive_text_name) {
    if (!confirm_output(text_name, input_name, {}, console, answers)) return kFailure;
  }
  if (derive_tag_name) {
    if (!confirm_output(tag_name, input_name, text_name, console, answers)) return kFailure;
  }

  InStream input;
  if (!open_input(input, input_name)) {
    print(console, "\nCan't open this HTML file. Is your path correct?\n");
    return kFailure;
  }
  print(console, "\n%s opened successfully...\n", input_name);

  // Opened without being emptied: a name may have come to lead to another file since it was
  // checked, and only the files actually open tell.
  g_outputs_open = true;
  OutStream text;
  OutStream tags;
  bool text_is_new = false;
  bool tags_is_new = false;
  bool text_created = open_output(text, text_name, text_is_new);
  if (!text_created) print(console, "\nERROR-Unable to create %s\n", text_name);
  bool tags_created = open_output(tags, tag_name, tags_is_new);
  if (!tags_created) print(console, "\nERROR-Unable to create %s\n", tag_name);
  const RunFile input_file{input_name, id_of_open_file(input.fd)};
  const RunFile text_file{text_name, id_of_open_file(text.fd)};
  const RunFile tags_file{tag_name, id_of_open_file(tags.fd)};
  if (!check_opened_outputs(input_file, text_file, tags_file, console) ||
      !check_standard_output(input_file, text_file, tags_file, errors)) {
    abandon(tags, tags_is_new, tag_name);
    abandon(text, text_is_new, text_name);
    return kFailure;
  }
  // Both are locked before either is emptied: each refusal is said before any file changes.
  text_created = text_created && lock_or_give_up(text, text_name, console);
  tags_created = tags_created && lock_or_give_up(tags, tag_name, console);
  text_created = text_created && empty_or_give_up(text, text_is_new, text_name, console);
  tags_created = tags_created && empty_or_give_up(tags, tags_is_new, tag_name, console);
  print(console, "\nConverting....\n\n");

  // Lines about entities wait in the buffer unless someone is watching them appear.
  console.batched = !console.terminal;
  convert_file(input, text, tags, console);
  flush(console);
  console.batched = false;

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
  // A console that could not be written is a failure too, even if both files were.
  return success && !console.failed ? kSuccess : kFailure;
}
