// SHA-256 (FIPS 180-4) of a file's bytes, for the run's receipt: it names exactly which file was
// sent, whatever it is called.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace midiflash {

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size);
// The digest in lower-case hexadecimal, 64 characters.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace midiflash
