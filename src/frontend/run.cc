// The run goes straight through: banner, checks and questions, the three files opened and
// checked, one conversion pass, the summary. Every check and question comes before any file
// is changed: the outputs are emptied only once the files actually opened have passed, and
// once every byte of memory the run needs is had.
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

// The names of the run's files: typed, or derived from the input name; and whether each output
// existed when it was checked.
struct Names {
  std::string input, text, tags;
  bool text_there = false, tags_there = false;
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

// Checks the typed names and asks before any output replaces a file: typed names before the
// extension test, derived ones after it. False if the run stops.
bool check_names(Names& names, std::size_t typed, OutStream& console, InStream& answers) {
  const auto confirm_text = [&] {
    return confirm_output(names.text, names.input, {}, console, answers, names.text_there);
  };
  const auto confirm_tags = [&] {
    return confirm_output(names.tags, names.input, names.text, console, answers, names.tags_there);
  };
  if (!check_filename(names.input, console)) return false;
  if (typed > 1 && (!check_filename(names.text, console) || !confirm_text())) return false;
  if (typed > 2 && (!check_filename(names.tags, console) || !confirm_tags())) return false;
  if (!has_html_extension(names.input)) {
    print(console, "\nNot a valid HTML file.\n");
    return false;
  }
  if (typed < 2 && !confirm_text()) return false;
  return typed >= 3 || confirm_tags();
}

// The run's three files, what the run has done with the outputs, and the conversion's memory.
struct Files {
  InStream input;
  OutStream text, tags;
  ConversionMemory memory;
  bool text_created = false;  // made by this run, so removed if the run is refused
  bool tags_created = false;
  bool text_taken = false;  // opened, locked and emptied, for this run to write
  bool tags_taken = false;
};

// Takes every byte of memory the run needs, but the input's buffer, which it has: if memory
// runs out here, the run ends with every file as it was.
void take_memory(Files& files) {
  take_output_buffer(files.text);
  take_output_buffer(files.tags);
  take_conversion_memory(files.memory, files.input.refill_size);
}

// Opens an output without emptying it. One that did not exist when it was checked is made only
// if it still does not: one that has appeared since (another run's outputs, say) is asked about
// now, as it would have been then. False on a no; an output that cannot be opened is said.
bool open_checked_output(OutStream& out, std::string_view name, bool there, bool& created,
                         OutStream& console, InStream& answers) {
  Opened opened = open_output(out, name, !there);
  if (opened == Opened::kAppeared) {
    if (!confirm_overwrite(name, console, answers)) return false;
    opened = open_output(out, name, false);
  }
  created = opened == Opened::kCreated;
  if (opened == Opened::kFailed) print(console, "\nERROR-Unable to create %s\n", name);
  return true;
}

// Opens the outputs without emptying them and checks the files actually open: a name may have
// come to lead to another file since it was checked. False, with both given up, if the run
// stops.
bool open_outputs(Files& files, const Names& names, OutStream& console, OutStream& errors,
                  InStream& answers) {
  g_outputs_open = true;
  if (!open_checked_output(files.text, names.text, names.text_there, files.text_created, console,
                           answers)) {
    return false;
  }
  if (!open_checked_output(files.tags, names.tags, names.tags_there, files.tags_created, console,
                           answers)) {
    abandon(files.text, files.text_created, names.text);
    return false;
  }
  const RunFile input{names.input, id_of_open_file(files.input.fd)};
  const RunFile text{names.text, id_of_open_file(files.text.fd)};
  const RunFile tags{names.tags, id_of_open_file(files.tags.fd)};
  if (check_opened_outputs(input, text, tags, console) &&
      check_standard_output(console, input, text, tags, errors)) {
    return true;
  }
  abandon(files.tags, files.tags_created, names.tags);
  abandon(files.text, files.text_created, names.text);
  return false;
}

// Takes the outputs for this run: both are locked before either is emptied, so that each
// refusal is said before any file changes. One that cannot be taken is given up.
void take_outputs(Files& files, const Names& names, OutStream& console) {
  const bool text_locked = files.text.fd >= 0 && lock_or_give_up(files.text, names.text, console);
  const bool tags_locked = files.tags.fd >= 0 && lock_or_give_up(files.tags, names.tags, console);
  files.text_taken =
      text_locked && empty_or_give_up(files.text, files.text_created, names.text, console);
  files.tags_taken =
      tags_locked && empty_or_give_up(files.tags, files.tags_created, names.tags, console);
}

// A long page is read a buffer ahead, and its outputs, long as a rule, are written a buffer
// behind, by threads of their own, where the run may use more than one processor: on one they
// would only take turns with the conversion. Their memory only speeds the run: without it, or a
// thread, the run goes on as it would. The writing threads start first, while no other thread
// runs, so that the system puts them beside the conversion rather than on its processor: started
// after the reading thread, they made a 100 MB page about 2% slower.
void read_ahead_and_write_behind(Files& files) {
  if (!files.input.long_file || one_processor_only()) return;
  write_behind(files.text);
  write_behind(files.tags);
  read_ahead(files.input);
}

// The one conversion pass, which takes no memory, with the console's lines about entities left
// in its buffer unless someone is watching them appear.
void convert(Files& files, OutStream& console) {
  print(console, "\nConverting....\n\n");
  console.batched = !console.terminal;
  convert_file(files.input, files.text, files.tags, console, files.memory);
  flush(console);
  console.batched = false;
}

// Closes the files and says how the run went. An output that could not be taken drops what the
// conversion wrote to it; one that ran out of room or failed to close was not written
// completely. Either way the run failed, and so it has if the console took not every message.
int summarize(Files& files, const Names& names, OutStream& console) {
  const bool tags_written = files.tags_taken && close_output(files.tags);
  const bool text_written = files.text_taken && close_output(files.text);
  const bool input_read = close_input(files.input);
  if (!input_read) print(console, "\nERROR-Unable to read %s\n", names.input);
  if (files.text_taken && !text_written) {
    print(console, "\nERROR-Unable to write %s\n", names.text);
  }
  if (files.tags_taken && !tags_written) print(console, "\nERROR-Unable to write %s\n", names.tags);

  const bool success = input_read && text_written && tags_written;
  print(console, success ? "File conversion successful.\n\n" : "File conversion failed.\n\n");
  if (text_written) print(console, "TEXTFILE = %s\n", names.text);
  if (tags_written) print(console, "TAGFILE = %s\n", names.tags);
  return success && !console.failed ? kSuccess : kFailure;
}

int run_on(std::span<const std::string_view> arguments, OutStream& console, OutStream& errors,
           InStream& answers) {
  // Standard output into the page would feed the program its own messages; into an output,
  // mix them with the text. Said before anything is written there.
  Names names = names_of_run(arguments);
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
  if (!check_names(names, arguments.size(), console, answers)) return kFailure;

  Files files;
  if (!open_input(files.input, names.input)) {
    print(console, "\nCan't open this HTML file. Is your path correct?\n");
    return kFailure;
  }
  print(console, "\n%s opened successfully...\n", names.input);
  take_memory(files);
  if (!open_outputs(files, names, console, errors, answers)) return kFailure;
  take_outputs(files, names, console);
  read_ahead_and_write_behind(files);
  convert(files, console);
  return summarize(files, names, console);
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
