#include "framing.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <limits>

std::string encode_length_prefix(uint32_t length) {
    std::string prefix(k_length_prefix_size, '\0');
    std::memcpy(prefix.data(), &length, k_length_prefix_size);
    return prefix;
}

uint32_t decode_length_prefix(std::string_view prefix) {
    uint32_t length = 0;
    std::memcpy(&length, prefix.data(), k_length_prefix_size);
    return length;
}

IoStatus encode_frame(std::string_view text, std::string & frame) {
    if (text.size() > std::numeric_limits<uint32_t>::max()) {
        return IoStatus{IoState::failed, "message longer than a 32-bit length prefix can describe"};
    }
    frame = encode_length_prefix(static_cast<uint32_t>(text.size()));
    frame.append(text);
    return IoStatus{};
}

IoStatus read_length_prefix(FrameInput & input, uint32_t & length) {
    while (input.taken.size() < k_length_prefix_size) {
        char bytes[k_length_prefix_size];
        size_t got = 0;
        IoStatus status = read_some(input.fd, bytes, k_length_prefix_size - input.taken.size(), got);
        if (status.state == IoState::would_block) {
            return status;
        }
        if (status.state != IoState::ok) {
            input.taken.clear();
            return status;
        }
        input.taken.append(bytes, got);
    }
    length = decode_length_prefix(input.taken);
    input.taken.clear();
    return IoStatus{};
}

namespace {

// Room for `wanted` more bytes of a body of `length`. Doubling, as a string
// grows by itself, may copy almost the whole body once more just before its
// end, with both copies resident; taking the full length as soon as the
// doubled buffer would hold three quarters of it keeps every copy under
// three quarters of the body, and a length that no bytes back still costs no
// more than a few times what has come.
void make_room(std::string & body, size_t length, size_t wanted) {
    if (body.size() + wanted <= body.capacity()) {
        return;
    }
    size_t doubled = 2 * body.capacity();
    body.reserve(doubled / 3 * 4 >= length ? length : doubled);
}

} // namespace

IoStatus read_body(FrameInput & input, uint32_t length, std::string & body) {
    constexpr size_t k_chunk_size = 65536;
    body.clear();
    body.reserve(std::min<size_t>(length, k_chunk_size));
    char chunk[k_chunk_size];
    while (body.size() < length) {
        size_t got = 0;
        IoStatus status = read_some(input.fd, chunk, std::min(k_chunk_size, length - body.size()), got);
        if (status.state == IoState::would_block) {
            // The browser writes a large message in pieces; the next one is
            // waited for as long as it takes.
            status = wait_until_ready(input.fd, POLLIN, Deadline::max());
        }
        if (status.state != IoState::ok) {
            return status;
        }
        make_room(body, length, got);
        body.append(chunk, got);
    }
    return IoStatus{};
}

bool take_test_byte(FrameInput & input) {
    char byte = 0;
    size_t got = 0;
    if (read_some(input.fd, &byte, 1, got).state != IoState::ok) {
        return false;
    }
    input.taken.assign(1, byte);
    return true;
}
