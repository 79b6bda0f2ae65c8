#pragma once

namespace marlinox::command {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // internal failure, output failure
inline constexpr int kExitBadInput = 2;  // bad input or bad usage
inline constexpr int kExitInterrupted = 130;

}  // namespace marlinox::command
