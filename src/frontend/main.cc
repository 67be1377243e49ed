// skrivel: converts one HTML file into a text file and a list of its tags.
#include <new>
#include <string_view>
#include <vector>

#include "frontend/run.h"
#include "platform/files.h"
#include "platform/text_stream.h"

int main(int argc, char* argv[]) {
  std::set_new_handler(out_of_memory);
  OutStream console;
  OutStream errors;
  InStream answers;
  open_console(console);
  open_error_console(errors);
  open_standard_input(answers);
  ignore_write_signals();
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  return run(arguments, console, errors, answers);
}
