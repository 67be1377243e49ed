// One run of the program, from the banner to the summary, on streams the caller opens: the
// console, standard error and standard input in the program, memory in the tests.
#pragma once

#include <span>
#include <string_view>

#include "platform/text_stream.h"

// Runs the program on its arguments (the command line after the program's name), talking on
// console, answering questions from answers and saying on errors what cannot go to the console.
// Returns the exit status: 0 if both files were written and the console took every message,
// otherwise 1.
int run(std::span<const std::string_view> arguments, OutStream& console, OutStream& errors,
        InStream& answers);

// For the program's new-handler, in place of failing an allocation: says so on the console of
// the run under way (standard output if none is) and ends the program with status 1.
[[noreturn]] void out_of_memory();
