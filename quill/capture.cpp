#include "capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "error_text.h"

namespace {

// The wait for input is bounded so that a stop request that does not
// interrupt it (SIGINT taken on another thread) is seen within 50 ms; end of
// input and a hang-up end the wait at once.
constexpr int k_poll_timeout_ms = 50;
// The pause after each read lets audio gather in the pipe, so that a writer
// of small pieces is taken in fewer, larger reads, each costing one lock and
// one wake-up of the processing thread: at most about a hundred a second,
// which with reads of up to 8,192 bytes still takes in about 25 times real
// time with one channel and about 12.8 times with two.
constexpr auto k_cycle_pause = std::chrono::milliseconds(10);

int16_t sample_at(const uint8_t * bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

bool read_pcm_from_stdin(bool stereo, std::vector<uint8_t> & leftover, std::vector<float> & out, int & error) {
    if (!read_some_from_stdin_nb(leftover, error)) {
        return false;
    }
    convert_pcm_bytes(leftover, stereo, out);
    return true;
}

// Once per process: later input names read the same broken descriptor.
void report_input_failure(audio_handoff & handoff, int error) {
    if (!handoff.audio_input_failed.exchange(true)) {
        std::fprintf(stderr, "failed to read audio from standard input: %s\n", error_text(error).c_str());
    }
}

} // namespace

float pcm16_to_float(int16_t value) {
    return static_cast<float>(value) / 32768.0f;
}

int16_t mix_down(int16_t left, int16_t right) {
    return static_cast<int16_t>((static_cast<int32_t>(left) + static_cast<int32_t>(right)) / 2);
}

void convert_pcm_bytes(std::vector<uint8_t> & bytes, bool stereo, std::vector<float> & out) {
    const size_t frame_size = stereo ? 4 : 2;
    const size_t frames = bytes.size() / frame_size;
    out.reserve(out.size() + frames);
    for (size_t k = 0; k < frames; ++k) {
        const uint8_t * frame = bytes.data() + k * frame_size;
        const int16_t value = stereo ? mix_down(sample_at(frame), sample_at(frame + 2)) : sample_at(frame);
        out.push_back(pcm16_to_float(value));
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(frames * frame_size));
}

bool read_some_nb(int fd, std::vector<uint8_t> & bytes, int & error) {
    error = 0;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, k_poll_timeout_ms);
    if (ready == 0) {
        return true;
    }
    if (ready < 0) {
        if (errno == EINTR) {
            return true;
        }
        error = errno;
        return false;
    }
    if (entry.revents & POLLNVAL) {
        error = EBADF;
        return false;
    }
    // A hang-up may still have data behind it: only read's 0 says it is all gone.
    if (!(entry.revents & (POLLIN | POLLHUP | POLLERR))) {
        return true;
    }
    const size_t old_size = bytes.size();
    bytes.resize(old_size + k_read_size);
    const ssize_t got = read(fd, bytes.data() + old_size, k_read_size);
    const int read_error = got < 0 ? errno : 0;
    bytes.resize(old_size + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got >= 0) {
        return got > 0;
    }
    if (read_error == EAGAIN || read_error == EINTR) {
        return true;
    }
    error = read_error;
    return false;
}

bool read_some_from_stdin_nb(std::vector<uint8_t> & bytes, int & error) {
    return read_some_nb(STDIN_FILENO, bytes, error);
}

bool read_mono_pcm_from_stdin(std::vector<uint8_t> & leftover, std::vector<float> & out, int & error) {
    return read_pcm_from_stdin(false, leftover, out, error);
}

bool read_stereo_pcm_from_stdin(std::vector<uint8_t> & leftover, std::vector<float> & out, int & error) {
    return read_pcm_from_stdin(true, leftover, out, error);
}

bool read_audio_chunk(bool stereo, std::vector<uint8_t> & leftover, std::vector<float> & out, int & error) {
    return stereo ? read_stereo_pcm_from_stdin(leftover, out, error) : read_mono_pcm_from_stdin(leftover, out, error);
}

void audio_input_thread(audio_handoff & handoff, bool stereo) {
    // From here on SIGINT only raises the flag, which the loop looks at
    // before every read.
    capture_started.store(true);
    std::vector<uint8_t> leftover;
    while (!stop_requested.load()) {
        std::vector<float> samples;
        int error = 0;
        if (!read_audio_chunk(stereo, leftover, samples, error)) {
            if (error != 0) {
                report_input_failure(handoff, error);
            }
            break;
        }
        push_audio(handoff, samples);
        if (stop_requested.load()) {
            break;
        }
        std::this_thread::sleep_for(k_cycle_pause);
    }
    end_audio_input(handoff);
}

int make_stdin_nonblocking() {
    const int flags = fcntl(STDIN_FILENO, F_GETFL, 0);
    return fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
}
