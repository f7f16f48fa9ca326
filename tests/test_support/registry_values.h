// Root key handles and the value encoding that the registry tests of every layer write and expect.
#pragma once

#include <cstdint>
#include <string>

namespace halyard::testing {

inline constexpr std::uint32_t kCurrentUser = 0x80000001u;
inline constexpr std::uint32_t kLocalMachine = 0x80000002u;

/// The 4 bytes of a REG_DWORD value, least significant first.
inline std::string Dword(std::uint32_t number) {
  std::string data;
  for (int i = 0; i < 4; ++i) data += static_cast<char>((number >> (8 * i)) & 0xff);
  return data;
}

}  // namespace halyard::testing
