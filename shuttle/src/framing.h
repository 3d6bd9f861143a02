#pragma once

#include "io.h"

#include <cstdint>
#include <string>
#include <string_view>

// Native-messaging frames: a 32-bit length in the machine's byte order, then
// that many bytes of text.
constexpr size_t k_length_prefix_size = 4;

std::string encode_length_prefix(uint32_t length);
uint32_t decode_length_prefix(std::string_view prefix);

// The whole frame for `text`; fails when the text is longer than the 32-bit
// length can describe, since a wrapped length would put the browser's stream
// out of step.
IoStatus encode_frame(std::string_view text, std::string & frame);

// Descriptor 0 as the relay reads it: non-blocking, one frame at a time, with
// the bytes of a frame already taken kept across passes so the stream never
// goes out of step when a prefix arrives in pieces.
struct FrameInput {
    int fd = 0;
    std::string taken;
};

// Reads on until the length prefix is complete. would_block keeps the bytes
// taken so far for the next call; any other failure drops them with the
// stream that carried them.
IoStatus read_length_prefix(FrameInput & input, uint32_t & length);

// Reads a body of `length` bytes, waiting with poll while the browser is
// still writing it. The buffer grows with the bytes that arrive, so a bogus
// length costs nothing until its bytes really come.
IoStatus read_body(FrameInput & input, uint32_t length, std::string & body);

// One read of at most one byte; a byte taken becomes the first of the next frame.
bool take_test_byte(FrameInput & input);
