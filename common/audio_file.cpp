#include "audio_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "miniaudio.h"

namespace {

// The rate the speech library takes its audio at.
constexpr ma_uint32 k_decode_rate = 16000;

std::vector<uint8_t> read_all_of_stdin() {
    std::vector<uint8_t> bytes;
    uint8_t piece[1024];
    for (;;) {
        const size_t n = std::fread(piece, 1, sizeof piece, stdin);
        if (n == 0) {
            return bytes;
        }
        bytes.insert(bytes.end(), piece, piece + n);
    }
}

// Closes the decoder on every way out once it is open.
struct decoder_closer {
    ma_decoder * decoder;
    ~decoder_closer() { ma_decoder_uninit(decoder); }
};

// The buffer grows with the frames the decoder actually delivers, up to the
// length it announced, rather than being sized by that length up front: a
// damaged or hostile header can announce hours of audio in a few bytes, which
// would exhaust memory or be handed back as invented silence. Where the
// announcement is honest, the room reserved for it makes this one allocation.
constexpr ma_uint64 k_block_frames = 65536;
constexpr ma_uint64 k_most_frames_reserved = 3600ull * k_decode_rate;
// A stream that ends short of its announced length is cut off or damaged and
// is reported as a failed read, not handed back in part. The resampler may
// round an honest length down by a frame or two, so a few frames of
// shortfall (well under a millisecond) still count as whole, and are made up
// with silence: callers rely on the announced length.
constexpr ma_uint64 k_resampler_shortfall = 8;

ma_result read_frames(ma_decoder & decoder, ma_uint64 announced, ma_uint32 channels, std::vector<float> & samples) {
    samples.clear();
    samples.reserve(std::min(announced, k_most_frames_reserved) * channels);
    ma_uint64 done = 0;
    // Always one read, even of an announced length of 0: the library refuses
    // a request for no frames, so a stream without any is a failed read.
    do {
        const ma_uint64 block = std::min(k_block_frames, announced - done);
        samples.resize((done + block) * channels);
        ma_uint64 got = 0;
        const ma_result result = ma_decoder_read_pcm_frames(&decoder, samples.data() + done * channels, block, &got);
        done += got;
        if (result == MA_AT_END && done > 0) {
            break;
        }
        if (result != MA_SUCCESS) {
            return result;
        }
    } while (done < announced);
    samples.resize(done * channels);
    if (done + k_resampler_shortfall < announced) {
        return MA_AT_END;
    }
    // Grown from the delivered length, so the made-up frames are zeros
    // whatever the decoder left in the buffer past them.
    samples.resize(announced * channels);
    return MA_SUCCESS;
}

void split_channels(const std::vector<float> & interleaved, size_t frames,
                    std::vector<std::vector<float>> & channel_audio) {
    channel_audio.resize(2);
    channel_audio[0].resize(frames);
    channel_audio[1].resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        channel_audio[0][i] = interleaved[2 * i];
        channel_audio[1][i] = interleaved[2 * i + 1];
    }
}

} // namespace

bool read_audio_data(const std::string & input_name, std::vector<float> & samples,
                     std::vector<std::vector<float>> & channel_audio, bool stereo) {
    const ma_uint32 channels = stereo ? 2 : 1;
    const ma_decoder_config config = ma_decoder_config_init(ma_format_f32, channels, k_decode_rate);
    ma_decoder decoder;
    // The decoder reads these bytes in place, so they must outlive it.
    std::vector<uint8_t> stdin_bytes;

    if (input_name == "-") {
        stdin_bytes = read_all_of_stdin();
        const ma_result result = ma_decoder_init_memory(stdin_bytes.data(), stdin_bytes.size(), &config, &decoder);
        if (result != MA_SUCCESS) {
            fprintf(stderr, "Error: failed to open audio data from stdin (%s)\n", ma_result_description(result));
            return false;
        }
        fprintf(stderr, "%s: read %zu bytes from stdin\n", __func__, stdin_bytes.size());
    } else if (ma_decoder_init_file(input_name.c_str(), &config, &decoder) != MA_SUCCESS) {
        const ma_result result = ma_decoder_init_memory(input_name.data(), input_name.size(), &config, &decoder);
        if (result != MA_SUCCESS) {
            fprintf(stderr, "error: failed to read audio data as wav (%s)\n", ma_result_description(result));
            return false;
        }
    }
    const decoder_closer closer{&decoder};

    ma_uint64 frames = 0;
    ma_result result = ma_decoder_get_length_in_pcm_frames(&decoder, &frames);
    if (result != MA_SUCCESS) {
        fprintf(stderr, "error: failed to retrieve the length of the audio data (%s)\n",
                ma_result_description(result));
        return false;
    }

    result = read_frames(decoder, frames, channels, samples);
    if (result != MA_SUCCESS) {
        fprintf(stderr, "error: failed to read the frames of the audio data (%s)\n", ma_result_description(result));
        return false;
    }

    if (stereo) {
        split_channels(samples, samples.size() / 2, channel_audio);
    }
    return true;
}
