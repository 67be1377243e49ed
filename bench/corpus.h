// A reproducible corpus of realistic HTML for measuring the converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// About size bytes of HTML with DOS line ends, the same for the same size and seed.
std::string make_corpus(std::size_t size, std::uint64_t seed = 20261207);
