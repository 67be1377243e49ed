// Checks on the names of the run's files, and the question before an output replaces a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/text_stream.h"

inline constexpr std::size_t kMaxNameLength = 128;

// Returns 1 if a typed file name is acceptable; otherwise prints why and returns 0.
int check_filename(std::string_view name, OutStream& console);

// Returns 1 if the named output may be written: it does not exist, or the user answered yes.
// Returns 0 on a no or at the end of the answers.
int confirm_overwrite(std::string_view name, OutStream& console, InStream& answers);

// confirm_overwrite for an output name, after refusing a name that denotes the input file or,
// when text_name is given, the text file. These checks by name spare a needless question;
// check_opened_outputs, on the files actually opened, is the one that decides. Sets there to
// whether the output existed: one that did not is made only if it still does not (open_output).
int confirm_output(std::string_view name, std::string_view input_name, std::string_view text_name,
                   OutStream& console, InStream& answers, bool& there);

// A file of the run as opened: its name and its identity (unknown if it is not open).
struct RunFile {
  std::string_view name;
  FileId id;
};

// Returns 1 if neither opened output is the input file and the tag file is not the text file;
// otherwise prints why and returns 0.
int check_opened_outputs(const RunFile& input, const RunFile& text, const RunFile& tags,
                         OutStream& console);

// Returns 1 if the file the console writes to is none of the run's files; otherwise says so on
// standard error, since the console would take the message into that file, and returns 0.
int check_standard_output(const OutStream& console, const RunFile& input, const RunFile& text,
                          const RunFile& tags, OutStream& errors);

// True if the name ends in ".htm", ".HTM", ".html" or ".HTML".
bool has_html_extension(std::string_view name);

// The name up to its last '.'.
std::string_view base_name(std::string_view name);
