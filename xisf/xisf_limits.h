#pragma once

// Limits the reader enforces before it allocates anything. They are the
// reader's own so that the module stands alone; they match what the image
// model can hold.

#include <cstdint>

namespace LibXISF {

// Width and height are held in 16 bits by the images we load into.
constexpr uint64_t kMaxImageAxis = 65535;

// Sample bytes of one image stay below 4 GiB, the 32-bit size the image
// model uses; more is not a file we can show anyway.
constexpr uint64_t kMaxImageBytes = 0xffffffffULL;

// The XML header holds metadata and at most small inline blocks; anything
// larger is not a real file and would only cost memory to parse.
constexpr uint64_t kMaxHeaderBytes = 256ULL * 1024 * 1024;

// Internal entities expand to at most this many characters in total; XISF
// headers have no use for entities, so this only stops expansion attacks.
constexpr int kMaxEntityExpansion = 1024;

} // namespace LibXISF
