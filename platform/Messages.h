// Public. Message numbers, parameter types and the message record of the event loop, kept with the
// window-message values that the socket components were designed around.
#pragma once

#include <cstdint>

namespace platform {

using HWND = std::uintptr_t;    // notification endpoint handle; 0 is "none"
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;  // a timer's identifier

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;  // WParam: the timer's identifier; LParam: 0
constexpr UINT WM_USER = 0x0400;

// What the loop hands to a window procedure and what PeekMessage takes out of the queue.
struct TMsg {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// The message record that a component's HandleNotifyMessage receives.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

constexpr std::uint16_t LoWord(LPARAM v) { return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(v) & 0xFFFF); }
constexpr std::uint16_t HiWord(LPARAM v) { return static_cast<std::uint16_t>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFF); }
constexpr LPARAM MakeLong(std::uint16_t lo, std::uint16_t hi) {
  return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

}  // namespace platform
