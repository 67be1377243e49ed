// The ways of converting an input, for the front end's convert_file and for the tests and the
// benchmark that hold them to one another: the byte loop, which is the definition, and the block
// scans of block_scan.cc, which give its bytes faster.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "convert/convert.h"

// One way of converting: "byte_loop", or a block scan named for its masks ("avx2", say).
struct Scan {
  std::string_view name;
  bool supported;   // this machine can run it
  std::size_t row;  // its place in the list of scans
};

// Every way this build has: the byte loop first, then the block scans, slowest first.
std::span<const Scan> scans();

// The fastest way this machine can run: the one convert_file takes.
const Scan& fastest_scan();

// convert_file, converting the way scan says; scan is one of scans(), and supported. Without
// memory, it takes its own.
void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console, ConversionMemory& memory);
void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console);
