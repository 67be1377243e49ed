// A reproducible corpus of realistic HTML for measuring the converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a page's markup is like: the short tags of a small society's pages, or the longer and more
// varied tags of much of the web: links with their addresses, images with their sizes, comments
// of every length, classes and styles.
enum class Markup { kSimple, kVaried };

// About size bytes of HTML with DOS line ends, the same for the same size, seed and markup.
std::string make_corpus(std::size_t size, std::uint64_t seed = 20261207,
                        Markup markup = Markup::kSimple);
