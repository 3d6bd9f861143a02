#include "audio_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pcm16.h"
#include "process.h"
#include "shell_quote.h"
#include "temp_dir_test.h"

namespace {

namespace fs = std::filesystem;

constexpr double k_rate = 16000;

std::string little_endian(uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    return out;
}

// A 16-bit PCM WAV file whose header claims `data_bytes` of samples.
std::string wav_bytes(const std::vector<int16_t> & samples, uint32_t rate, uint32_t data_bytes) {
    return "RIFF" + little_endian(36 + data_bytes, 4) + "WAVE" + "fmt " + little_endian(16, 4) +
           little_endian(1, 2) + little_endian(1, 2) + little_endian(rate, 4) + little_endian(2 * rate, 4) +
           little_endian(2, 2) + little_endian(16, 2) + "data" + little_endian(data_bytes, 4) + pcm16_bytes(samples);
}

std::string wav_bytes(const std::vector<int16_t> & samples) {
    return wav_bytes(samples, 16000, static_cast<uint32_t>(2 * samples.size()));
}

// Distinct values, so a lost, doubled or shifted sample shows.
std::vector<int16_t> ramp(size_t n) {
    std::vector<int16_t> samples(n);
    for (size_t i = 0; i < n; ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 2000) - 1000);
    }
    return samples;
}

// What the decoder makes of 16-bit samples at 16 kHz: nothing but the scale.
std::vector<float> as_floats(const std::vector<int16_t> & samples) {
    std::vector<float> floats;
    for (const int16_t v : samples) {
        floats.push_back(static_cast<float>(v) / 32768.0f);
    }
    return floats;
}

// The frequency of a tone from its zero crossings over one second from
// a quarter of a second in, clear of any decoder's lead-in.
double tone_frequency(const std::vector<float> & samples) {
    const size_t begin = static_cast<size_t>(k_rate / 4);
    size_t crossings = 0;
    for (size_t i = begin + 1; i < begin + static_cast<size_t>(k_rate) && i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return crossings / 2.0;
}

double rms(const std::vector<float> & samples) {
    double sum = 0;
    for (const float v : samples) {
        sum += static_cast<double>(v) * v;
    }
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// One call, with buffers that already hold something, so that what the
// reader leaves alone can be seen.
struct read_result {
    bool ok;
    std::vector<float> samples;
    std::vector<std::vector<float>> channel_audio;
    std::string err;
};

const std::vector<float> k_earlier_samples = {7.0f};
const std::vector<std::vector<float>> k_earlier_channels = {{1, 2, 3}, {4}, {5}};

read_result read_capturing(const std::string & name, bool stereo) {
    read_result r{false, k_earlier_samples, k_earlier_channels, ""};
    testing::internal::CaptureStderr();
    r.ok = read_audio_data(name, r.samples, r.channel_audio, stereo);
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

// A 440 Hz tone of 1.5 s (24,000 frames at 16 kHz), left channel only in the
// two-channel files, made by sox in each format.
struct tone_file {
    const char * name;
    const char * sox_format;
    int channels;
    size_t most_padding;  // frames the decoder may add
};

// MP3 adds the encoder's delay and pads its last frame: at most two frames
// of 1,152 samples at 44.1 kHz, 836 at 16 kHz. The others carry an exact
// length, give or take the resampler's rounding.
const tone_file k_tones[] = {
    {"tone.wav", "-r 44100 -c 2 -b 16", 2, 2},
    {"tone_float.wav", "-r 44100 -c 2 -e floating-point -b 32", 2, 2},
    {"tone_8k_mono.wav", "-r 8000 -c 1 -b 16", 1, 2},
    {"tone.flac", "-r 44100 -c 2", 2, 2},
    {"tone.ogg", "-r 44100 -c 2", 2, 2},
    {"tone.mp3", "-r 44100 -c 2", 2, 836},
};
constexpr size_t k_tone_frames = 24000;

class decoded_tone : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = make_temp_dir("audio_file_");
        ASSERT_FALSE(dir.empty());
        for (const tone_file & tone : k_tones) {
            const std::string command = std::string("sox -n ") + tone.sox_format + " " + shell_single_quoted(path(tone)) +
                                        " synth 1.5 sine 440 gain -6" + (tone.channels == 2 ? " remix 1 0" : "");
            ASSERT_EQ(std::system((command + " > /dev/null 2>&1").c_str()), 0) << command;
        }
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static std::string path(const tone_file & tone) { return dir + "/" + tone.name; }

    static void expect_tone_length(size_t frames, const tone_file & tone) {
        EXPECT_GE(frames, k_tone_frames - 2) << tone.name;
        EXPECT_LE(frames, k_tone_frames + tone.most_padding) << tone.name;
    }

    static std::string dir;
};

std::string decoded_tone::dir;

TEST_F(decoded_tone, every_format_decodes_to_the_tone_at_16_khz_in_one_channel) {
    for (const tone_file & tone : k_tones) {
        const read_result r = read_capturing(path(tone), false);
        ASSERT_TRUE(r.ok) << tone.name << ": " << r.err;
        EXPECT_EQ(r.err, "");
        expect_tone_length(r.samples.size(), tone);
        EXPECT_NEAR(tone_frequency(r.samples), 440, 9) << tone.name;
        EXPECT_EQ(r.channel_audio, k_earlier_channels) << tone.name;
    }
}

TEST_F(decoded_tone, two_channels_come_back_interleaved_and_split_left_then_right) {
    for (const tone_file & tone : k_tones) {
        if (tone.channels != 2) {
            continue;
        }
        const read_result r = read_capturing(path(tone), true);
        ASSERT_TRUE(r.ok) << tone.name << ": " << r.err;
        ASSERT_EQ(r.channel_audio.size(), 2u) << tone.name;
        const std::vector<float> & left = r.channel_audio[0];
        const std::vector<float> & right = r.channel_audio[1];
        expect_tone_length(left.size(), tone);
        ASSERT_EQ(right.size(), left.size()) << tone.name;
        ASSERT_EQ(r.samples.size(), 2 * left.size()) << tone.name;
        for (size_t i = 0; i < left.size(); ++i) {
            ASSERT_EQ(r.samples[2 * i], left[i]) << tone.name << " frame " << i;
            ASSERT_EQ(r.samples[2 * i + 1], right[i]) << tone.name << " frame " << i;
        }
        EXPECT_NEAR(tone_frequency(left), 440, 9) << tone.name;
        EXPECT_GT(rms(left), 0.3) << tone.name;
        EXPECT_LT(rms(right), 0.01) << tone.name;
    }
}

// FLAC's header announces the stream's length; one that announces far more
// than the stream holds is reported as cut off, without a buffer sized by
// the announcement first.
TEST_F(decoded_tone, a_length_announced_beyond_the_stream_is_a_failed_read) {
    const std::string flac = read_file(path(k_tones[3]));
    ASSERT_EQ(flac.substr(0, 4), "fLaC");
    for (const uint64_t announced : {uint64_t{44100} * 600, (uint64_t{1} << 36) - 1}) {
        // The total sample count: 36 bits from the low nibble of the
        // stream-info block's 14th byte on.
        std::string lying = flac;
        const size_t at = 8 + 13;
        lying[at] = static_cast<char>((static_cast<uint8_t>(lying[at]) & 0xf0) | ((announced >> 32) & 0x0f));
        for (int i = 0; i < 4; ++i) {
            lying[at + 1 + i] = static_cast<char>((announced >> (24 - 8 * i)) & 0xff);
        }
        const std::string lying_path = dir + "/lying.flac";
        write_file(lying_path, lying);
        const read_result r = read_capturing(lying_path, false);
        EXPECT_FALSE(r.ok) << announced;
        EXPECT_EQ(r.err, "error: failed to read the frames of the audio data (At end)\n") << announced;
    }
}

TEST(read_audio_data, decodes_encoded_audio_held_in_the_name_itself) {
    const std::vector<int16_t> samples = ramp(1000);
    const read_result r = read_capturing(wav_bytes(samples), false);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.samples, as_floats(samples));
}

// The decoder takes a WAV file's length from the bytes the file holds, not
// from the data size its header claims, so a cut-off file announces, and
// decodes to, exactly the samples that are there.
using read_audio_file = temp_dir_test;

TEST_F(read_audio_file, decodes_what_a_cut_off_wav_file_holds) {
    const std::vector<int16_t> samples = ramp(1000);
    const read_result r = read_capturing(file_with("cut.wav", wav_bytes(samples, 16000, 100000)), false);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.samples, as_floats(samples));
}

// 1.37 s at these rates, resampled to 16 kHz: the decoder announces its
// length by its own rounding, and at 48 and 32 kHz the resampler then
// delivers a frame less. The reader keeps the announced length, the missing
// frames silent, in one channel and in two.
TEST_F(read_audio_file, a_resampled_file_keeps_its_announced_length) {
    struct {
        uint32_t rate;
        size_t source_frames;
        size_t announced;
        size_t delivered;
    } const cases[] = {
        {22050, 30208, 21919, 21919},
        {11025, 15104, 21919, 21919},
        {48000, 65760, 21921, 21920},
        {32000, 43840, 21921, 21920},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.rate);
        const std::vector<int16_t> samples = ramp(c.source_frames);
        const std::string path =
            file_with("resampled.wav", wav_bytes(samples, c.rate, static_cast<uint32_t>(2 * samples.size())));
        const read_result mono = read_capturing(path, false);
        ASSERT_TRUE(mono.ok) << mono.err;
        ASSERT_EQ(mono.samples.size(), c.announced);
        for (size_t i = c.delivered; i < c.announced; ++i) {
            EXPECT_EQ(mono.samples[i], 0.0f) << "frame " << i;
        }

        const read_result stereo = read_capturing(path, true);
        ASSERT_TRUE(stereo.ok) << stereo.err;
        EXPECT_EQ(stereo.samples.size(), 2 * c.announced);
        ASSERT_EQ(stereo.channel_audio.size(), 2u);
        EXPECT_EQ(stereo.channel_audio[0].size(), c.announced);
        EXPECT_EQ(stereo.channel_audio[1].size(), c.announced);
    }
}

TEST_F(read_audio_file, reports_what_cannot_be_decoded_and_keeps_the_buffers) {
    std::mt19937 random(12);
    std::string noise;
    for (int i = 0; i < 4000; ++i) {
        noise += static_cast<char>(random() & 0xff);
    }
    const std::string open_error = "error: failed to read audio data as wav (";
    const std::string read_error = "error: failed to read the frames of the audio data (";
    const struct {
        const char * what;
        const char * file;  // written with `contents`; nullptr: the name alone
        std::string contents;
        std::string message;
    } cases[] = {
        {"an empty name", nullptr, "", open_error},
        {"a name that is neither file nor audio", nullptr, "/no/such/file.wav", open_error},
        {"an empty file", "empty.wav", "", open_error},
        {"a header cut short", "short.wav", wav_bytes(ramp(100)).substr(0, 20), open_error},
        {"noise behind a RIFF header", "noise.wav", "RIFF" + little_endian(4004, 4) + "WAVE" + noise, open_error},
        {"a stream without frames", "silent.wav", wav_bytes({}), read_error},
    };
    for (const auto & c : cases) {
        const std::string name = c.file != nullptr ? file_with(c.file, c.contents) : c.contents;
        const read_result r = read_capturing(name, true);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.what << ": " << r.err;
        EXPECT_EQ(r.channel_audio, k_earlier_channels) << c.what;
        if (c.message == open_error) {
            EXPECT_EQ(r.samples, k_earlier_samples) << c.what;
        }
    }
}

// Standard input is reached through a small program that decodes its
// argument and writes the samples out as raw floats.
process_result run_reader(const std::string & name, const std::string & input) {
    return run_process({READ_AUDIO_TOOL, name}, input);
}

std::string float_bytes(const std::vector<float> & samples) {
    std::string bytes(samples.size() * sizeof(float), '\0');
    std::memcpy(&bytes[0], samples.data(), bytes.size());
    return bytes;
}

TEST(read_audio_data, reads_all_of_standard_input_for_a_lone_hyphen) {
    // 3,000 bytes: two full pieces of 1,024 and the rest; then a stream
    // that fills the pipe many times over.
    for (const size_t n_samples : {size_t{1478}, size_t{500000}}) {
        const std::vector<int16_t> samples = ramp(n_samples);
        const std::string wav = wav_bytes(samples);
        const process_result r = run_reader("-", wav);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "read_audio_data: read " + std::to_string(wav.size()) + " bytes from stdin\n");
        EXPECT_TRUE(r.out == float_bytes(as_floats(samples))) << n_samples << " samples";
    }
}

TEST(read_audio_data, reports_standard_input_that_is_not_audio) {
    for (const std::string input : {"", "plainly not audio"}) {
        const process_result r = run_reader("-", input);
        EXPECT_EQ(r.exit_status, 1) << '"' << input << '"';
        EXPECT_EQ(r.err.rfind("Error: failed to open audio data from stdin (", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(read_audio_data, only_the_lone_hyphen_means_standard_input) {
    for (const char * name : {"--", "-x", "a-b"}) {
        const process_result r = run_reader(name, wav_bytes(ramp(100)));
        EXPECT_EQ(r.exit_status, 1) << name;
        EXPECT_EQ(r.err.rfind("error: failed to read audio data as wav (", 0), 0u) << name << ": " << r.err;
    }
}

} // namespace
