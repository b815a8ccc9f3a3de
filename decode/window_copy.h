#pragma once
// Back-reference copies inside the output window.

#include <cstdint>
#include <cstring>

// Copies n bytes forward from window[src] to window[dst], byte after byte in effect: when
// the source runs into bytes this copy writes (src < dst < src + n), those repeat. Both
// ranges lie inside the window; the caller splits copies at the window's end.
inline void window_copy_forward(unsigned char* window, std::uint32_t dst, std::uint32_t src, std::uint32_t n) {
  if (src >= dst || dst - src >= n) {
    // Source ahead of or clear of the destination: a plain forward copy is a memmove.
    std::memmove(window + dst, window + src, n);
    return;
  }
  // Overlapping: the bytes repeat with period `distance`. After the first period the
  // output so far is whole periods, so it can be copied onto its own end, doubling.
  const std::uint32_t distance = dst - src;
  unsigned char* out = window + dst;
  std::memcpy(out, window + src, distance);
  std::uint32_t done = distance;
  while (done < n) {
    const std::uint32_t chunk = done < n - done ? done : n - done;
    std::memcpy(out + done, out, chunk);
    done += chunk;
  }
}
