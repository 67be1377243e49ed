// The run goes straight through: banner, checks and questions, the three files opened and
// checked, one conversion pass, the summary. Every check and question comes before any file
// is changed: the outputs are emptied only once the files actually opened have passed.
#include "frontend/run.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "convert/convert.h"
#include "frontend/file_checks.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kBanner = "\nSkrivel (DOS) HTML-->ASCII Converter Version 1.31\n";
constexpr std::string_view kRights = "Copyright (c) 2026 the Skrivel authors; MIT License.\n\n";
constexpr std::string_view kUsage =
    "\nUsage: skrivel filename.html [<output_textfilename>] [<output_tagfilename>]\n";

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

// What the run under way has to tell if memory runs out: its console, and whether its outputs
// are being opened.
OutStream* g_console = nullptr;
bool g_outputs_open = false;

// The names of the run's files: typed, or derived from the input name.
struct Names {
  std::string input, text, tags;
};

Names names_of_run(std::span<const std::string_view> arguments) {
  Names names;
  if (arguments.empty()) return names;
  names.input = arguments[0];
  const std::string base(base_name(names.input));
  names.text = arguments.size() > 1 ? std::string(arguments[1]) : base + ".txt";
  names.tags = arguments.size() > 2 ? std::string(arguments[2]) : base + "_t.txt";
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

int run_on(std::span<const std::string_view> arguments, OutStream& console, OutStream& errors,
           InStream& answers) {
  // Standard output into the page would feed the program its own messages; into an output,
  // mix them with the text. Said before anything is written there.
  const Names names = names_of_run(arguments);
  if (!check_standard_output(console, {names.input, id_of_name(names.input)},
                             {names.text, id_of_name(names.text)},
                             {names.tags, id_of_name(names.tags)}, errors)) {
    return kFailure;
  }

  print(console, kBanner);
  print(console, kRights);
  if (arguments.empty()) {
    print(console, kUsage);
    return kFailure;
  }
  const std::string& input_name = names.input;
  if (!check_filename(input_name, console)) return kFailure;

  // Typed names are checked and confirmed before the extension test, derived ones after it.
  const std::string& text_name = names.text;
  const std::string& tag_name = names.tags;
  const bool derive_text_name = arguments.size() < 2;
  const bool derive_tag_name = arguments.size() < 3;
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
  bool text_created = false;  // made by this run, so removed if the run is refused
  bool tags_created = false;
  const bool text_opened = open_output(text, text_name, text_created);
  if (!text_opened) print(console, "\nERROR-Unable to create %s\n", text_name);
  const bool tags_opened = open_output(tags, tag_name, tags_created);
  if (!tags_opened) print(console, "\nERROR-Unable to create %s\n", tag_name);
  const RunFile input_file{input_name, id_of_open_file(input.fd)};
  const RunFile text_file{text_name, id_of_open_file(text.fd)};
  const RunFile tags_file{tag_name, id_of_open_file(tags.fd)};
  if (!check_opened_outputs(input_file, text_file, tags_file, console) ||
      !check_standard_output(console, input_file, text_file, tags_file, errors)) {
    abandon(tags, tags_created, tag_name);
    abandon(text, text_created, text_name);
    return kFailure;
  }
  // Both are locked before either is emptied: each refusal is said before any file changes.
  // Taken: opened, locked and emptied, for this run to write.
  const bool text_locked = text_opened && lock_or_give_up(text, text_name, console);
  const bool tags_locked = tags_opened && lock_or_give_up(tags, tag_name, console);
  const bool text_taken = text_locked && empty_or_give_up(text, text_created, text_name, console);
  const bool tags_taken = tags_locked && empty_or_give_up(tags, tags_created, tag_name, console);
  print(console, "\nConverting....\n\n");

  // A long page's outputs are long as a rule: written behind while it is read ahead.
  if (input.ahead) {
    write_behind(text);
    write_behind(tags);
  }
  // Lines about entities wait in the buffer unless someone is watching them appear.
  console.batched = !console.terminal;
  convert_file(input, text, tags, console);
  flush(console);
  console.batched = false;

  // An output that could not be taken drops what the conversion wrote to it; one that ran out
  // of room or failed to close was not written completely. Either way the run failed.
  const bool tags_written = tags_taken && close_output(tags);
  const bool text_written = text_taken && close_output(text);
  const bool input_read = close_input(input);
  if (!input_read) print(console, "\nERROR-Unable to read %s\n", input_name);
  if (text_taken && !text_written) print(console, "\nERROR-Unable to write %s\n", text_name);
  if (tags_taken && !tags_written) print(console, "\nERROR-Unable to write %s\n", tag_name);

  const bool success = input_read && text_written && tags_written;
  print(console, success ? "File conversion successful.\n\n" : "File conversion failed.\n\n");
  if (text_written) print(console, "TEXTFILE = %s\n", text_name);
  if (tags_written) print(console, "TAGFILE = %s\n", tag_name);
  // A console that could not be written is a failure too, even if both files were.
  return success && !console.failed ? kSuccess : kFailure;
}

}  // namespace

int run(std::span<const std::string_view> arguments, OutStream& console, OutStream& errors,
        InStream& answers) {
  g_console = &console;
  const int status = run_on(arguments, console, errors, answers);
  g_console = nullptr;
  g_outputs_open = false;
  return status;
}

void out_of_memory() {
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
