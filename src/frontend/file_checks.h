// Checks on the names of the run's files, and the question before an output replaces a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text_stream.h"

inline constexpr std::size_t kMaxNameLength = 128;

// Returns 1 if a typed file name is acceptable; otherwise prints why and returns 0.
int check_filename(std::string_view name, OutStream& console);

// Returns 1 if the named output may be written: it does not exist, or the user answered yes.
// Returns 0 on a no or at the end of the answers.
int confirm_overwrite(std::string_view name, OutStream& console, InStream& answers);

// confirm_overwrite for an output name, after refusing a name that denotes the input file or,
// when text_name is given, the text file.
int confirm_output(std::string_view name, std::string_view input_name, std::string_view text_name,
                   OutStream& console, InStream& answers);

// True if the name ends in ".htm", ".HTM", ".html" or ".HTML".
bool has_html_extension(std::string_view name);

// The name up to its last '.'.
std::string_view base_name(std::string_view name);
