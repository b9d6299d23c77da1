#pragma once
// The fuzz harnesses: each takes one input and must neither crash nor read out of bounds; each
// returns 1 when the input was taken and went the whole way, 0 when it was refused.
// libFuzzer runs them (fuzz/*Entry.cpp); the unit tests replay the kept corpora through them.

#include <cstddef>
#include <cstdint>

// Arbitrary bytes as a BMP file: read, then drawn in every way the program draws.
int FuzzDib(const std::uint8_t* pData, std::size_t nSize);
// Arbitrary bytes as a .reg file: parsed, and what parses is written and must parse the same.
int FuzzRegFile(const std::uint8_t* pData, std::size_t nSize);
// Arbitrary bytes as the stored values of the settings and a caption, then loaded and drawn.
int FuzzStoreValues(const std::uint8_t* pData, std::size_t nSize);
