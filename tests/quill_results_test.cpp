// Result files written by the real program over the generated test model,
// whose every transcription is " hello world." from 0 to 1 s.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "quill_session.h"
#include "speech.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

const std::string k_model = test_model("fixed.bin");

// Each case has a directory of its own, with a font file in it, and runs the
// program there on a tone: loud enough everywhere that no window counts as
// silent, so the whole stream stays one chunk and the last transcription
// covers all of it.
class QuillResults : public temp_dir_test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(temp_dir_test::SetUp());
        font = file_with("font.ttf", "not really a font");
    }

    process_result run(std::vector<std::string> args, int tone_ms = 1000) {
        args.insert(args.begin(), {"-m", k_model, "-t", "1"});
        return run_quill(args, pcm16_bytes(tone(tone_ms)), dir);
    }

    std::string font;
};

const std::vector<std::string> k_every_file = {"-otxt", "-ovtt", "-osrt", "-owts", "-ocsv",
                                               "-oj",   "-olrc", "-ls"};

std::vector<std::string> with_every_file(const std::vector<std::string> & rest) {
    std::vector<std::string> args = k_every_file;
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

// The writer names of every "<writer>: <what>" line on standard error that
// matches `what`, in order.
std::vector<std::string> writers_saying(const std::string & err, const std::string & what) {
    std::vector<std::string> names;
    const std::regex line("^(output_[a-z]+): " + what);
    for (const auto & l : split_lines(err)) {
        std::smatch m;
        if (std::regex_search(l, m, line)) names.push_back(m[1]);
    }
    return names;
}

const std::vector<std::string> k_writer_order = {"output_txt", "output_vtt", "output_srt",  "output_wts",
                                                 "output_csv", "output_json", "output_lrc", "output_score"};

TEST_F(QuillResults, EveryFileHoldsTheLastTranscription) {
    // Five seconds give several transcriptions of the growing chunk; the
    // last covers all 80000 samples, which the karaoke duration shows.
    const auto r = run(with_every_file({"-fp", font, "-of", dir + "/out", "-"}), 5000);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.exit_status, 0) << r.err;

    const std::string seg = " hello world.";
    EXPECT_EQ(read_file(dir + "/out.txt"), seg + "\n");
    EXPECT_EQ(read_file(dir + "/out.vtt"), "WEBVTT\n\n00:00:00.000 --> 00:00:01.000\n" + seg + "\n\n");
    EXPECT_EQ(read_file(dir + "/out.srt"), "1\n00:00:00,000 --> 00:00:01,000\n" + seg + "\n\n");
    EXPECT_EQ(read_file(dir + "/out.csv"), "start,end,text\n0,1000,\"" + seg + "\"\n");
    EXPECT_EQ(read_file(dir + "/out.lrc"), "[by:whisper.cpp]\n[00:00.00]" + seg + "\n");

    const std::string script = read_file(dir + "/out.wts");
    EXPECT_EQ(script.rfind("#!/bin/bash\n\nffmpeg -i - -f lavfi -i color=size=1200x120:duration=5.0625:", 0), 0u)
        << script;
    EXPECT_NE(script.find("drawtext=fontfile='" + font + "'"), std::string::npos);
    EXPECT_NE(script.find("echo \"Your video has been saved to -.mp4\""), std::string::npos);

    const auto json = nlohmann::json::parse(read_file(dir + "/out.json"));
    ASSERT_EQ(json["transcription"].size(), 1u);
    EXPECT_EQ(json["transcription"][0]["text"], seg);
    EXPECT_EQ(json["params"]["model"], k_model);

    std::string token_texts;
    for (const auto & line : split_lines(read_file(dir + "/out.score.txt"))) {
        if (line.empty()) continue;
        const auto tab = line.rfind('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const float p = std::stof(line.substr(tab + 1));
        EXPECT_TRUE(p >= 0.0f && p <= 1.0f) << line;
        token_texts += line.substr(0, tab);
    }
    EXPECT_NE(token_texts.find(seg), std::string::npos) << token_texts;

    // Each transcription runs the writers once, always in the same order.
    const auto saving = writers_saying(r.err, "saving output to");
    ASSERT_FALSE(saving.empty());
    ASSERT_EQ(saving.size() % k_writer_order.size(), 0u) << r.err;
    for (size_t i = 0; i < saving.size(); ++i) EXPECT_EQ(saving[i], k_writer_order[i % k_writer_order.size()]);
    EXPECT_GT(saving.size(), k_writer_order.size()) << "expected more than one transcription";
}

// An empty stream is one transcription of nothing: every file is rewritten
// with no segments, holding only what each format starts with.
TEST_F(QuillResults, EmptyStreamWritesEmptyTranscriptions) {
    const auto r = run(with_every_file({"-fp", font, "-of", dir + "/out", "-"}), 0);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const struct {
        const char * extension;
        std::string contents;
    } cases[] = {
        {".txt", ""}, {".vtt", "WEBVTT\n\n"}, {".srt", ""}, {".csv", "start,end,text\n"},
        {".lrc", "[by:whisper.cpp]\n"}, {".score.txt", ""},
        {".wts", "#!/bin/bash\n\nffmpeg -i - -f lavfi -i color=size=1200x120:duration=0.0625:rate=25:color=black "
                 "-vf \"\" -c:v libx264 -pix_fmt yuv420p -y -.mp4\n\n\n"
                 "echo \"Your video has been saved to -.mp4\"\n\necho \"  ffplay -.mp4\"\n\n"},
    };
    for (const auto & c : cases) EXPECT_EQ(read_file(dir + "/out" + c.extension), c.contents) << c.extension;
    const auto json = nlohmann::json::parse(read_file(dir + "/out.json"));
    EXPECT_TRUE(json["transcription"].is_array());
    EXPECT_TRUE(json["transcription"].empty());
}

TEST_F(QuillResults, JsonFileParsesInEveryVariant) {
    const struct {
        std::vector<std::string> options;
        bool tokens;
        bool speaker_turn;
    } cases[] = {
        {{"-oj"}, false, false},
        {{"-ojf"}, true, false},
        {{"-oj", "-tdrz"}, false, true},
        {{"-ojf", "-tdrz"}, true, true},
        {{"-oj", "-di"}, false, false},
    };
    for (const auto & c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-of", dir + "/out", "-"});
        SCOPED_TRACE(testing::PrintToString(args));
        const auto r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        nlohmann::json json;
        ASSERT_NO_THROW(json = nlohmann::json::parse(read_file(dir + "/out.json")));
        EXPECT_EQ(json["result"]["language"], "en");
        ASSERT_EQ(json["transcription"].size(), 1u);
        const auto & segment = json["transcription"][0];
        EXPECT_EQ(segment["offsets"]["to"], 1000);
        EXPECT_EQ(segment.contains("tokens"), c.tokens);
        EXPECT_EQ(segment.contains("speaker_turn_next"), c.speaker_turn);
        if (c.tokens) {
            ASSERT_FALSE(segment["tokens"].empty());
            for (const auto & token : segment["tokens"]) {
                for (const char * member : {"text", "id", "p", "t_dtw"}) EXPECT_TRUE(token.contains(member)) << token;
            }
        }
    }
}

// A character that the tokens cut in two ("你好." said as E4 BD, A0 E5, A5 BD;
// "-ml 1" ends a segment after the first) becomes U+FFFD in the JSON file, one
// per maximal ill-formed subpart, so that a strict reader takes the file; the
// text file keeps the bytes as the library gave them.
TEST_F(QuillResults, CharactersThatTokensSplitAreRepairedInTheJsonFileOnly) {
    const std::string fffd = "\xEF\xBF\xBD";
    const auto r = run_quill({"-m", test_model("fixed-split-character.bin"), "-t", "1", "-ml", "1", "-ojf", "-otxt",
                              "-of", dir + "/out", "-"},
                             pcm16_bytes(tone(1000)), dir);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    nlohmann::json json;
    ASSERT_NO_THROW(json = nlohmann::json::parse(read_file(dir + "/out.json")));
    std::vector<std::string> texts;
    std::vector<std::vector<std::string>> tokens;
    for (const auto & segment : json["transcription"]) {
        texts.push_back(segment["text"]);
        tokens.emplace_back();
        for (const auto & token : segment["tokens"]) tokens.back().push_back(token["text"]);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{fffd, fffd + "\xE5\xA5\xBD", "."}));
    EXPECT_EQ(tokens, (std::vector<std::vector<std::string>>{
                          {"[_BEG_]", fffd}, {fffd + fffd, fffd + fffd}, {".", "[_TT_50]"}}));
    EXPECT_EQ(read_file(dir + "/out.txt"), "\xE4\xBD\n\xA0\xE5\xA5\xBD\n.\n");
}

// A file that cannot be opened is reported by its writer, also in quiet mode,
// and the run carries on to the end with its usual output.
TEST_F(QuillResults, UnopenableFilesAreReportedAndSkipped) {
    for (const bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "--no-prints" : "default");
        std::vector<std::string> args = with_every_file({"-fp", font, "-of", dir + "/missing/out", "-"});
        if (quiet) args.push_back("--no-prints");
        const auto r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("hello world."), std::string::npos) << r.out;
        const auto failed = writers_saying(r.err, "failed to open '" + dir + "/missing/out\\.");
        ASSERT_FALSE(failed.empty()) << r.err;
        for (size_t i = 0; i < failed.size(); ++i) EXPECT_EQ(failed[i], k_writer_order[i % k_writer_order.size()]);
        EXPECT_EQ(failed.size() % k_writer_order.size(), 0u) << r.err;
        EXPECT_TRUE(writers_saying(r.err, "saving output to").empty()) << r.err;
        EXPECT_EQ(r.err.find("to generate karaoke video"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir + "/missing"));
    }
}

TEST_F(QuillResults, MissingFontLeavesAnEmptyScript) {
    const auto r = run({"-owts", "-fp", dir + "/no-font.ttf", "-of", dir + "/out", "-"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir + "/out.wts"));
    EXPECT_EQ(read_file(dir + "/out.wts"), "");
    const std::string message =
        "output_wts: font not found at '" + dir + "/no-font.ttf', please specify a monospace font with -fp\n";
    const auto saving = r.err.find("output_wts: saving output to '" + dir + "/out.wts'\n");
    ASSERT_NE(saving, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(message, saving), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("to generate karaoke video"), std::string::npos) << r.err;
}

// Result files are named after the output name at the same position among
// the input names that remain, else after the input name itself ("-" too).
// With an empty stream every input transcribes nothing and writes its empty
// file, so the names alone show how inputs and output names were matched.
TEST_F(QuillResults, FileNamesFollowInputAndOutputNames) {
    write_file(dir + "/b.wav", "");
    write_file(dir + "/c.wav", "");
    const struct {
        std::vector<std::string> names;
        std::vector<std::string> files;
    } cases[] = {
        {{"-"}, {"-.txt"}},
        {{"b.wav"}, {"b.wav.txt"}},
        {{"b.wav", "-of", ""}, {"b.wav.txt"}},
        {{"gone.wav", "b.wav", "c.wav", "-of", "first", "-of", "second"}, {"first.txt", "second.txt"}},
        {{"b.wav", "c.wav", "-of", "only"}, {"only.txt", "c.wav.txt"}},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.names));
        for (const auto & entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() == ".txt") fs::remove(entry.path());
        }
        std::vector<std::string> args = c.names;
        args.push_back("-otxt");
        const auto r = run(args, 0);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::vector<std::string> written;
        for (const auto & entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() == ".txt") written.push_back(entry.path().filename().string());
        }
        std::sort(written.begin(), written.end());
        std::vector<std::string> expected = c.files;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(written, expected);
        for (const auto & file : c.files) EXPECT_EQ(read_file(dir + "/" + file), "") << file;
    }
}

// Every file beside the ones the test put there: a rewrite must leave no
// temporary file behind, whether it succeeded or not.
std::vector<std::string> names_in(const std::string & dir) {
    std::vector<std::string> names;
    for (const auto & entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A rewrite that fails for want of space keeps the previous file whole and
// says why; the run goes on, and once there is room again the files are
// written as usual.
TEST_F(QuillResults, FullFilesystemKeepsThePreviousFiles) {
    const std::string mount_point = dir + "/full";
    fs::create_directory(mount_point);
    const auto mounted =
        run_process({"/bin/sh", "-c", "mount -t tmpfs -o size=256k lanternwick-full '" + mount_point + "'"});
    if (mounted.exit_status != 0) {
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (it takes root): " << mounted.err;
    }
    struct unmount_at_end {
        std::string at;
        ~unmount_at_end() { run_process({"/bin/sh", "-c", "umount '" + at + "'"}); }
    } unmount{mount_point};

    const std::vector<std::string> extensions = {".txt", ".json", ".score.txt"};
    for (const auto & extension : extensions) write_file(mount_point + "/out" + extension, "previous\n");
    // Fill what is left, so that no byte more fits.
    {
        FILE * filler = std::fopen((mount_point + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    const std::vector<std::string> args = {"-otxt", "-oj", "-ls", "-of", mount_point + "/out", "-"};
    const std::vector<std::string> files_before = names_in(mount_point);

    auto r = run(args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("hello world."), std::string::npos) << r.out;
    for (const auto & [writer, extension] : {std::pair<std::string, std::string>{"output_txt", ".txt"},
                                             {"output_json", ".json"}, {"output_score", ".score.txt"}}) {
        const std::string name = mount_point + "/out" + extension;
        EXPECT_NE(r.err.find(writer + ": failed to write '" + name + "': " + std::strerror(ENOSPC) + "\n"),
                  std::string::npos)
            << writer << "\n" << r.err;
        EXPECT_EQ(read_file(name), "previous\n") << name;
    }
    EXPECT_EQ(names_in(mount_point), files_before);

    fs::remove(mount_point + "/filler");
    r = run(args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("failed to write"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(mount_point + "/out.txt"), " hello world.\n");
    nlohmann::json json;
    ASSERT_NO_THROW(json = nlohmann::json::parse(read_file(mount_point + "/out.json")));
    ASSERT_EQ(json["transcription"].size(), 1u) << json;
    EXPECT_EQ(json["transcription"][0]["text"], " hello world.");
}

// A link at the output name is replaced by the result file; whatever it
// pointed at stays as it was, and the file is no more open than the target.
TEST_F(QuillResults, LinkAtTheOutputNameLeavesItsTargetAlone) {
    write_file(dir + "/precious", "precious\n");
    ASSERT_EQ(chmod((dir + "/precious").c_str(), 0600), 0);
    fs::create_symlink(dir + "/precious", dir + "/out.txt");
    const auto r = run({"-otxt", "-of", dir + "/out", "-"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/precious"), "precious\n");
    EXPECT_FALSE(fs::is_symlink(dir + "/out.txt"));
    EXPECT_EQ(read_file(dir + "/out.txt"), " hello world.\n");
    struct stat result;
    ASSERT_EQ(stat((dir + "/out.txt").c_str(), &result), 0);
    EXPECT_EQ(result.st_mode & 0777, 0600u);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf", "out.txt", "precious"}));
}

// A FIFO, a socket, a device or a directory at the output name is no result
// file: it is refused as a file that does not open, before any saving is
// announced, and stays as it was. A link to one is replaced by the result,
// as a link always is, and what it points at stays as it was.
TEST_F(QuillResults, ANodeAtTheOutputNameIsLeftAlone) {
    const std::string name = dir + "/out.txt";
    const std::string node = dir + "/node";
    enum class kind { fifo, socket, device, directory };
    const struct {
        const char * what;
        kind made;
        bool linked;  // the node stands elsewhere, a link to it at the name
    } cases[] = {
        {"a FIFO", kind::fifo, false},
        {"a socket", kind::socket, false},
        {"a device", kind::device, false},
        {"a directory", kind::directory, false},
        {"a link to a FIFO", kind::fifo, true},
        {"a link to a directory", kind::directory, true},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(name);
        fs::remove_all(node);
        const std::string at = c.linked ? node : name;
        switch (c.made) {
            case kind::fifo: ASSERT_EQ(mkfifo(at.c_str(), 0666), 0) << std::strerror(errno); break;
            case kind::socket: {
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                ASSERT_LT(at.size(), sizeof address.sun_path);
                std::memcpy(address.sun_path, at.c_str(), at.size() + 1);
                const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                ASSERT_GE(fd, 0) << std::strerror(errno);
                const int bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
                const int error = errno;
                close(fd);
                ASSERT_EQ(bound, 0) << std::strerror(error);
                break;
            }
            case kind::device:
                // The null device's numbers, as only root may make a device.
                if (mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
                    std::printf("[ NOTE ] no device made here, that case not run: %s\n", std::strerror(errno));
                    continue;
                }
                break;
            case kind::directory: ASSERT_TRUE(fs::create_directory(at)); break;
        }
        if (c.linked) fs::create_symlink(node, name);
        struct stat before;
        ASSERT_EQ(lstat(at.c_str(), &before), 0);

        const auto r = run({"-otxt", "-of", dir + "/out", "-"});
        ASSERT_TRUE(r.exited) << r.err;
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("hello world."), std::string::npos) << r.out;
        struct stat after;
        ASSERT_EQ(lstat(at.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        const bool saving = r.err.find("output_txt: saving output to '" + name + "'\n") != std::string::npos;
        const bool refused = r.err.find("output_txt: failed to open '" + name + "' for writing\n") != std::string::npos;
        EXPECT_EQ(saving, c.linked) << r.err;
        EXPECT_EQ(refused, !c.linked) << r.err;
        EXPECT_EQ(r.err.find("failed to write"), std::string::npos) << r.err;
        if (c.linked) {
            EXPECT_FALSE(fs::is_symlink(name));
            EXPECT_EQ(read_file(name), " hello world.\n");
            EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf", "node", "out.txt"}));
        } else {
            EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf", "out.txt"}));
        }
        if (c.made == kind::directory) {
            EXPECT_TRUE(fs::is_empty(at));
        }
    }
}

// A rewrite keeps the permission bits the file had, whatever the umask would
// give a new file.
TEST_F(QuillResults, RewritesKeepThePermissionBits) {
    const std::string name = dir + "/out.txt";
    for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0666)}) {
        SCOPED_TRACE(static_cast<int>(mode));
        write_file(name, "previous\n");
        fs::permissions(name, mode);
        const auto r = run({"-otxt", "-of", dir + "/out", "-"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(read_file(name), " hello world.\n");
        EXPECT_EQ(fs::status(name).permissions() & fs::perms::mask, mode);
    }
}

// What a watcher of the directory saw of the files in the making: how many
// sightings, and those whose permission bits went beyond what was allowed.
struct temp_file_sightings {
    size_t count = 0;
    std::vector<std::string> too_open;
};

// Lists `dir` over and over until `stop`, as another local user watching it
// could, and looks at the mode of every file in the making it meets.
temp_file_sightings watch_temp_files(const std::string & dir, mode_t allowed, const std::atomic<bool> & stop) {
    temp_file_sightings seen;
    DIR * listing = opendir(dir.c_str());
    if (listing == nullptr) return seen;
    for (; !stop; rewinddir(listing)) {
        while (const dirent * entry = readdir(listing)) {
            const std::string name = entry->d_name;
            struct stat st;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0 ||
                fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            ++seen.count;
            if ((st.st_mode & 0777 & ~allowed) != 0) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
                seen.too_open.push_back(name + " " + mode);
            }
        }
    }
    closedir(listing);
    return seen;
}

// No file in the making is ever readable to more users than the file it
// replaces, not even for the moment after it is made: a reader who opens it
// then keeps the descriptor and reads all that is written through it. Many
// rewrites of every file give a watcher many chances to catch one; a small
// audio context and greedy decoding keep each transcription short, so that
// the cycles come quickly. A file new to the directory gets what the umask
// leaves of 0666.
TEST_F(QuillResults, FilesInTheMakingAreNeverMoreReadableThanTheResult) {
    const struct {
        const char * what;
        mode_t previous;  // 0: no previous file
        mode_t umask_bits;
        mode_t result;
        int tone_ms;
    } cases[] = {
        {"previous file 0600", 0600, 022, 0600, 10000},
        {"new file under umask 027", 0, 027, 0640, 2000},
    };
    const std::vector<std::string> extensions = {".txt", ".vtt", ".srt", ".wts", ".csv", ".json", ".lrc", ".score.txt"};
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto & extension : extensions) {
            const std::string name = dir + "/out" + extension;
            std::remove(name.c_str());
            if (c.previous != 0) {
                write_file(name, "previous\n");
                ASSERT_EQ(chmod(name.c_str(), c.previous), 0) << std::strerror(errno);
            }
        }
        std::atomic<bool> stop{false};
        temp_file_sightings seen;
        std::thread watcher([&] { seen = watch_temp_files(dir, c.result, stop); });
        const mode_t test_umask = umask(c.umask_bits);
        quill_session s = start_quill(with_every_file({"-m", k_model, "-t", "1", "-ac", "16", "-bs", "1", "-bo", "1",
                                                       "-fp", font, "-of", dir + "/out", "-"}),
                                      dir);
        umask(test_umask);
        EXPECT_TRUE(feed(s, pcm16_bytes(tone(c.tone_ms)), pace::real_time, 2 * k_sample_rate));
        const process_result r = finish_quill(s, std::chrono::seconds(60));
        stop = true;
        watcher.join();
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_GT(seen.count, 0u) << "the watcher never saw a file in the making";
        EXPECT_EQ(seen.too_open, std::vector<std::string>{});
        for (const auto & extension : extensions) {
            const std::string name = dir + "/out" + extension;
            struct stat st;
            ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 0777, c.result) << name;
        }
    }
}

// The program's command line run as `user`, with `groups` as its
// supplementary groups: through setpriv, which only root may do, unless it is
// this process's own user. Empty, with the reason in `why_not`, where that
// cannot be.
std::vector<std::string> quill_command_as(const other_user_ids & user, const std::vector<gid_t> & groups,
                                          std::string & why_not) {
    if (user.uid == geteuid()) return {QUILL_BINARY};
    if (geteuid() != 0) {
        why_not = "only root may run the program as another user";
        return {};
    }
    if (access("/usr/bin/setpriv", X_OK) != 0) {
        why_not = "running as root, with no setpriv to run the program as another user";
        return {};
    }
    std::string group_list;
    for (const gid_t group : groups) group_list += (group_list.empty() ? "" : ",") + std::to_string(group);
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                     "--regid=" + std::to_string(user.gid),
                                     groups.empty() ? "--clear-groups" : "--groups=" + group_list};
    std::vector<std::string> probe = argv;
    probe.insert(probe.end(), {"/bin/sh", "-c", "test -x \"$0\" && test -r \"$1\"", QUILL_BINARY, k_model});
    if (run_process(probe).exit_status != 0) {
        why_not = "running as root, and user " + std::to_string(user.uid) +
                  " cannot reach the program or the model from here";
        return {};
    }
    argv.push_back(QUILL_BINARY);
    return argv;
}

// The user whom file and directory modes bind. Root may write any file and
// any directory, so under root that is nobody.
other_user_ids user_bound_by_modes() {
    return geteuid() == 0 ? other_user() : other_user_ids{geteuid(), getegid()};
}

// The program's command line as the user above.
std::vector<std::string> quill_command_bound_by_modes(std::string & why_not) {
    return quill_command_as(user_bound_by_modes(), {}, why_not);
}

process_result run_command(std::vector<std::string> argv, const std::vector<std::string> & options,
                           const std::string & cwd) {
    argv.insert(argv.end(), {"-m", k_model, "-t", "1"});
    argv.insert(argv.end(), options.begin(), options.end());
    return run_process(argv, pcm16_bytes(tone(1000)), std::chrono::seconds(60), cwd);
}

// A result file this user may not write is left as it is, with the message of
// a file that does not open. The directory is the program's user's own:
// renaming over the file would succeed there, and only the program's own
// check stops it.
TEST_F(QuillResults, AFileThisUserMayNotWriteIsLeftAsItIs) {
    std::string why_not;
    const std::vector<std::string> command = quill_command_bound_by_modes(why_not);
    if (command.empty()) GTEST_SKIP() << why_not;
    const std::string name = file_with("out.txt", "previous\n");
    fs::permissions(name, fs::perms(0444));
    const other_user_ids user = user_bound_by_modes();
    ASSERT_EQ(chown(dir.c_str(), user.uid, user.gid), 0) << std::strerror(errno);
    const auto r = run_command(command, {"-otxt", "-of", dir + "/out", "-"}, dir);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("hello world."), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("output_txt: failed to open '" + name + "' for writing\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("output_txt: saving output"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(name), "previous\n");
    EXPECT_EQ(fs::status(name).permissions() & fs::perms::mask, fs::perms(0444));
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf", "out.txt"}));
}

// A file this user may write, in a directory this user may not write in (one
// made writable for the program's user in a shared folder), cannot be
// replaced by a renamed one: it is rewritten in place, keeping its mode and
// owner. Only a regular file is written so: a link planted at the name, of
// either kind, is not followed, and a FIFO does not hold the program up.
TEST_F(QuillResults, AWritableFileInADirectoryThisUserMayNotWriteIsRewrittenInPlace) {
    std::string why_not;
    const std::vector<std::string> command = quill_command_bound_by_modes(why_not);
    if (command.empty()) GTEST_SKIP() << why_not;
    const other_user_ids user = user_bound_by_modes();
    const std::string name = dir + "/out.txt";
    const std::string target = dir + "/target";
    enum class at_name { users_file, file_for_all, symbolic_link, hard_link, fifo };
    const struct {
        const char * what;
        at_name kind;
        bool rewritten;
    } cases[] = {
        {"a file of the program's user", at_name::users_file, true},
        {"a file of the test's user that anyone may write", at_name::file_for_all, true},
        {"a symbolic link to a file the program's user may write", at_name::symbolic_link, false},
        {"a hard link to a file the program's user may write", at_name::hard_link, false},
        {"a FIFO anyone may write", at_name::fifo, false},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(name.c_str());
        write_file(target, "target\n");
        ASSERT_EQ(chown(target.c_str(), user.uid, user.gid), 0) << std::strerror(errno);
        switch (c.kind) {
            case at_name::users_file:
                write_file(name, "previous\n");
                ASSERT_EQ(chown(name.c_str(), user.uid, user.gid), 0) << std::strerror(errno);
                ASSERT_EQ(chmod(name.c_str(), 0640), 0) << std::strerror(errno);
                break;
            case at_name::file_for_all:
                write_file(name, "previous\n");
                ASSERT_EQ(chmod(name.c_str(), 0666), 0) << std::strerror(errno);
                break;
            case at_name::symbolic_link: ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0); break;
            case at_name::hard_link: ASSERT_EQ(link(target.c_str(), name.c_str()), 0); break;
            case at_name::fifo:
                ASSERT_EQ(mkfifo(name.c_str(), 0666), 0) << std::strerror(errno);
                ASSERT_EQ(chmod(name.c_str(), 0666), 0) << std::strerror(errno);
                break;
        }
        struct stat before;
        ASSERT_EQ(lstat(name.c_str(), &before), 0);

        ASSERT_EQ(chmod(dir.c_str(), 0555), 0) << std::strerror(errno);
        const auto r = run_command(command, {"-otxt", "-of", dir + "/out", "-"}, dir);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << std::strerror(errno);

        ASSERT_TRUE(r.exited) << r.err;
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("hello world."), std::string::npos) << r.out;
        EXPECT_EQ(read_file(target), "target\n");
        EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf", "out.txt", "target"}));
        struct stat after;
        ASSERT_EQ(lstat(name.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        const bool saving = r.err.find("output_txt: saving output to '" + name + "'\n") != std::string::npos;
        const bool refused = r.err.find("output_txt: failed to open '" + name + "' for writing\n") != std::string::npos;
        EXPECT_EQ(saving, c.rewritten) << r.err;
        EXPECT_EQ(refused, !c.rewritten) << r.err;
        if (c.rewritten) {
            EXPECT_EQ(read_file(name), " hello world.\n");
        }
    }
}

// Linux's fs.protected_regular: above 0, the kernel refuses an O_CREAT open
// of another user's file in a world-writable sticky folder (at 2 in a
// group-writable one too). -1 where the system has no such setting.
int protected_regular() {
    FILE * setting = std::fopen("/proc/sys/fs/protected_regular", "r");
    if (setting == nullptr) return -1;
    int value = -1;
    if (std::fscanf(setting, "%d", &value) != 1) value = -1;
    std::fclose(setting);
    return value;
}

// A rewrite leaves the file to its owner and its group: renamed into place
// where this user can give both (root can, and a member of the group can give
// the group), and rewritten in place where it cannot, as in a sticky folder,
// which refuses to let another user's file be renamed over. Where the kernel
// guards sticky folders, it refuses that rewrite as it refuses any program's
// `>` there: the test after this one compares the two.
TEST_F(QuillResults, RewritesKeepTheOwnerAndTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give files to other users and run the program as them";
    const other_user_ids root{0, 0};
    const other_user_ids nobody = other_user();
    const other_user_ids daemon = named_user("daemon", {1, 1});
    const struct {
        const char * what;
        mode_t folder_mode;  // the folder is root's, in this group
        gid_t folder_group;
        other_user_ids file_owner;
        mode_t file_mode;
        other_user_ids program_user;
        std::vector<gid_t> program_groups;
        bool renamed;
    } cases[] = {
        {"another user's file that anyone may write, in a sticky folder", 01777, root.gid, daemon, 0666, nobody, {},
         false},
        {"another user's file shared with a group of the program's user", 0770, daemon.gid, daemon, 0660, nobody,
         {daemon.gid}, false},
        {"the program's user's file in another group of its own", 0770, daemon.gid, {nobody.uid, daemon.gid}, 0660,
         nobody, {daemon.gid}, true},
        {"another user's private file, rewritten by root", 0755, root.gid, nobody, 0600, root, {}, true},
    };
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << std::strerror(errno);
    const std::string folder = dir + "/shared";
    const std::string name = folder + "/out.txt";
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        if ((c.folder_mode & S_ISVTX) != 0 && protected_regular() > 0) continue;
        std::string why_not;
        const std::vector<std::string> command = quill_command_as(c.program_user, c.program_groups, why_not);
        if (command.empty()) GTEST_SKIP() << why_not;
        fs::remove_all(folder);
        fs::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), root.uid, c.folder_group), 0) << std::strerror(errno);
        ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0) << std::strerror(errno);
        write_file(name, "previous\n");
        ASSERT_EQ(chown(name.c_str(), c.file_owner.uid, c.file_owner.gid), 0) << std::strerror(errno);
        ASSERT_EQ(chmod(name.c_str(), c.file_mode), 0) << std::strerror(errno);
        // Held open, the previous file keeps its inode number from a file made later.
        const int previous = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(previous, 0) << std::strerror(errno);
        struct stat before;
        ASSERT_EQ(fstat(previous, &before), 0);

        const auto r = run_command(command, {"-otxt", "-of", folder + "/out", "-"}, dir);
        close(previous);

        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err.find("failed to"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(name), " hello world.\n");
        EXPECT_EQ(names_in(folder), std::vector<std::string>{"out.txt"});
        struct stat after;
        ASSERT_EQ(lstat(name.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, c.file_owner.uid);
        EXPECT_EQ(after.st_gid, c.file_owner.gid);
        EXPECT_EQ(after.st_mode & 07777, c.file_mode);
        EXPECT_EQ(after.st_ino != before.st_ino, c.renamed);
    }
}

// A folder that anyone may write in, sticky as /tmp is, under the
// test's directory: made anew, and its path.
std::string sticky_folder_in(const std::string & dir) {
    const std::string folder = dir + "/sticky";
    fs::remove_all(folder);
    fs::create_directory(folder);
    if (chmod(dir.c_str(), 0755) != 0 || chmod(folder.c_str(), 01777) != 0) return "";
    return folder;
}

// A file that another user planted in a sticky folder, writable to all, is
// opened exactly where a plain open(O_WRONLY|O_CREAT) by the same user in the
// same folder is: where the kernel guards sticky folders, the planted file
// collects nothing and stays as it was.
TEST_F(QuillResults, APlantedFileInAStickyFolderIsOpenedOnlyWhereAPlainOpenIs) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can plant one user's file and run the program as another";
    const int guard = protected_regular();
    if (guard < 0) GTEST_SKIP() << "this system has no fs.protected_regular";
    if (guard == 0) {
        GTEST_SKIP() << "fs.protected_regular is 0 here: the kernel lets every such open through, a plain one "
                        "as the program's, so the two cannot differ (a test does not change a machine-wide sysctl)";
    }
    const other_user_ids daemon = named_user("daemon", {1, 1});
    std::string why_not;
    const std::vector<std::string> command = quill_command_as(other_user(), {}, why_not);
    if (command.empty()) GTEST_SKIP() << why_not;
    const std::string folder = sticky_folder_in(dir);
    ASSERT_FALSE(folder.empty()) << std::strerror(errno);
    const std::string name = folder + "/out.txt";
    write_file(name, "planted\n");
    ASSERT_EQ(chown(name.c_str(), daemon.uid, daemon.gid), 0) << std::strerror(errno);
    ASSERT_EQ(chmod(name.c_str(), 0666), 0) << std::strerror(errno);

    // The same user's plain open, appending so as to change nothing.
    std::vector<std::string> plain(command.begin(), command.end() - 1);
    plain.insert(plain.end(), {"/bin/sh", "-c", ": >> \"$0\"", name});
    const bool plain_opened = run_process(plain).exit_status == 0;
    ASSERT_EQ(read_file(name), "planted\n");

    const auto r = run_command(command, {"-otxt", "-of", folder + "/out", "-"}, dir);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const bool refused = r.err.find("output_txt: failed to open '" + name + "' for writing\n") != std::string::npos;
    EXPECT_EQ(!refused, plain_opened) << r.err;
    EXPECT_EQ(read_file(name), plain_opened ? " hello world.\n" : "planted\n");
    EXPECT_EQ(names_in(folder), std::vector<std::string>{"out.txt"});
    struct stat after;
    ASSERT_EQ(lstat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, daemon.uid);
}

// Another user of a sticky folder who creates, ahead of the program, every
// name its files in the making could take (here those that its process id
// would give: 100 of them) cannot stop it writing.
TEST_F(QuillResults, NamesOfFilesInTheMakingCannotBeTakenAhead) {
    std::string why_not;
    const std::vector<std::string> command = quill_command_bound_by_modes(why_not);
    if (command.empty()) GTEST_SKIP() << why_not;
    const std::string folder = sticky_folder_in(dir);
    ASSERT_FALSE(folder.empty()) << std::strerror(errno);
    const other_user_ids squatter = geteuid() == 0 ? named_user("daemon", {1, 1}) : user_bound_by_modes();
    const std::string owner = std::to_string(squatter.uid) + ":" + std::to_string(squatter.gid);
    // The shell learns the process id that the program will have, since
    // exec keeps it, and takes the names before it runs the program.
    constexpr int k_squatted = 100;
    std::vector<std::string> argv = {
        "/bin/sh", "-c",
        "folder=$1; shift; n=0; while [ $n -lt " + std::to_string(k_squatted) +
            " ]; do f=\"$folder/out.txt.$$-$n.tmp\"; : > \"$f\" && chown " + owner +
            " \"$f\" || exit 99; n=$((n + 1)); done; exec \"$@\"",
        "sh", folder};
    argv.insert(argv.end(), command.begin(), command.end());
    const auto r = run_command(argv, {"-otxt", "-of", folder + "/out", "-"}, dir);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("failed to"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(folder + "/out.txt"), " hello world.\n");
    const std::vector<std::string> names = names_in(folder);
    EXPECT_EQ(names.size(), static_cast<size_t>(k_squatted) + 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "out.txt"), 1);
}

// setfacl or getfacl, with its options, run on `path`.
process_result acl_tool(const std::string & tool_and_options, const std::string & path) {
    return run_process({"/bin/sh", "-c", tool_and_options + " \"$0\"", path});
}

// Whether setfacl failed only because the filesystem keeps no ACLs.
bool takes_no_acls(const process_result & set) {
    return set.exit_status != 0 && set.err.find("not supported") != std::string::npos;
}

// A file new to the directory gets the mode that any program's new file gets
// there: where the directory has a default ACL, the kernel applies that
// instead of the umask.
TEST_F(QuillResults, NewFilesFollowTheDirectorysDefaultAcl) {
    const std::string folder = dir + "/shared";
    fs::create_directory(folder);
    const auto acl = acl_tool("setfacl -d -m u::rwx,g::rwx,o::-", folder);
    if (takes_no_acls(acl)) {
        GTEST_SKIP() << "this filesystem takes no ACLs: " << acl.err;
    }
    ASSERT_EQ(acl.exit_status, 0) << "setfacl (package acl) sets no default ACL: " << acl.err;
    const std::string plain = folder + "/plain";
    const std::string name = folder + "/out.txt";
    for (const mode_t mask : {022, 077}) {
        char trace[16];
        std::snprintf(trace, sizeof trace, "umask %03o", static_cast<unsigned>(mask));
        SCOPED_TRACE(trace);
        std::remove(plain.c_str());
        std::remove(name.c_str());
        const mode_t test_umask = umask(mask);
        const int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const auto r = run({"-otxt", "-of", folder + "/out", "-"});
        umask(test_umask);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        close(fd);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(read_file(name), " hello world.\n");
        struct stat expected;
        struct stat made;
        ASSERT_EQ(stat(plain.c_str(), &expected), 0);
        ASSERT_EQ(stat(name.c_str(), &made), 0);
        ASSERT_EQ(expected.st_mode & 0777, 0660u) << "the default ACL does not stand in for the umask here";
        EXPECT_EQ(made.st_mode & 0777, expected.st_mode & 0777);
    }
}

// The access ACL of `path`, a link followed, as getfacl prints it with ids as
// numbers and without the header of name, owner and group.
std::string access_acl_of(const std::string & path) {
    const auto r = acl_tool("getfacl --access --omit-header --numeric", path);
    return r.exit_status == 0 ? r.out : "getfacl failed: " + r.err;
}

// A rewrite gives the replacement exactly the access ACL of the file it
// replaces: the users it names, and the mask that stands in the group bits,
// so that the owning group gains nothing. A default ACL of the folder, which
// the file in the making inherits, gives way to it too, and so does the umask.
// A link's replacement takes its target's ACL, as it takes the target's bits.
TEST_F(QuillResults, RewritesKeepTheAccessAcl) {
    std::string why_not;
    const std::vector<std::string> command = quill_command_bound_by_modes(why_not);
    if (command.empty()) GTEST_SKIP() << why_not;
    const other_user_ids user = user_bound_by_modes();
    const std::string named = "u:" + std::to_string(named_user("daemon", {1, 1}).uid);
    const struct {
        const char * what;
        std::string folder_default;  // "": none
        mode_t mode;
        std::string file_acl;  // "": none beyond the mode
        bool linked;           // the file stands elsewhere, a link to it at the name
    } cases[] = {
        {"a 0600 file that lets a named user read", "", 0600, named + ":r", false},
        {"a plain 0640 file in a folder whose default ACL lets a named user in", named + ":rw,g::r,o::-", 0640, "",
         false},
        {"a plain 0660 file in that folder", named + ":rw,g::r,o::-", 0660, "", false},
        {"a link to a 0600 file that lets a named user read", "", 0600, named + ":r", true},
    };
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << std::strerror(errno);
    const std::string folder = dir + "/shared";
    const std::string name = folder + "/out.txt";
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), user.uid, user.gid), 0) << std::strerror(errno);
        const std::string file = c.linked ? folder + "/target" : name;
        write_file(file, "previous\n");
        ASSERT_EQ(chown(file.c_str(), user.uid, user.gid), 0) << std::strerror(errno);
        // In this order, so that the mode does not narrow the mask of the ACL.
        std::vector<std::string> setup = {"setfacl -b"};
        if (!c.folder_default.empty()) setup.push_back("setfacl -d -m " + c.folder_default);
        for (size_t i = 0; i < setup.size(); ++i) {
            const auto set = acl_tool(setup[i], i == 0 ? file : folder);
            if (takes_no_acls(set)) {
                GTEST_SKIP() << "this filesystem takes no ACLs: " << set.err;
            }
            ASSERT_EQ(set.exit_status, 0) << "setfacl (package acl) failed: " << set.err;
        }
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0) << std::strerror(errno);
        if (!c.file_acl.empty()) {
            ASSERT_EQ(acl_tool("setfacl -m " + c.file_acl, file).exit_status, 0);
        }
        if (c.linked) {
            ASSERT_EQ(symlink(file.c_str(), name.c_str()), 0) << std::strerror(errno);
        }
        const std::string acl_before = access_acl_of(file);
        struct stat before;
        ASSERT_EQ(stat(file.c_str(), &before), 0);

        const mode_t test_umask = umask(077);
        const auto r = run_command(command, {"-otxt", "-of", folder + "/out", "-"}, dir);
        umask(test_umask);

        ASSERT_TRUE(r.exited) << r.err;
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err.find("failed to"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::is_symlink(name));
        EXPECT_EQ(read_file(name), " hello world.\n");
        EXPECT_EQ(access_acl_of(name), acl_before);
        struct stat after;
        ASSERT_EQ(lstat(name.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
        EXPECT_EQ(after.st_uid, user.uid);
        if (c.linked) {
            EXPECT_EQ(read_file(file), "previous\n");
            EXPECT_EQ(access_acl_of(file), acl_before);
        }
    }
}

// Final names up to the file system's limit are written, whatever room they
// leave for the longer name of the file in the making, characters of several
// bytes included; a name past the limit is refused as it always was.
TEST_F(QuillResults, NamesUpToTheLimitAreWritten) {
    if (pathconf(dir.c_str(), _PC_NAME_MAX) != 255) GTEST_SKIP() << "names here are not limited to 255 bytes";
    const auto repeated = [](const std::string & text, size_t times) {
        std::string out;
        for (size_t i = 0; i < times; ++i) out += text;
        return out;
    };
    const struct {
        const char * what;
        std::string stem;  // the final name is stem + ".txt"
        bool written;
    } cases[] = {
        {"255 bytes", std::string(251, 'a'), true},
        {"249 bytes", std::string(245, 'b'), true},
        {"255 bytes of 2-byte characters", "c" + repeated("\xC3\xA9", 125), true},
        {"254 bytes of 3-byte characters", repeated("\xE2\x82\xAC", 83) + "d", true},
        {"254 bytes of 4-byte characters", repeated("\xF0\x9D\x84\x9E", 62) + "ee", true},
        {"256 bytes", std::string(252, 'f'), false},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = dir + "/" + c.stem + ".txt";
        const auto r = run({"-otxt", "-of", dir + "/" + c.stem, "-"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        if (c.written) {
            EXPECT_EQ(r.err.find("failed to"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("output_txt: saving output to '" + name + "'\n"), std::string::npos) << r.err;
            EXPECT_EQ(read_file(name), " hello world.\n");
            std::vector<std::string> expected = {c.stem + ".txt", "font.ttf"};
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(names_in(dir), expected);
            std::remove(name.c_str());
        } else {
            EXPECT_NE(r.err.find("output_txt: failed to open '" + name + "' for writing\n"), std::string::npos)
                << r.err;
            EXPECT_EQ(names_in(dir), (std::vector<std::string>{"font.ttf"}));
        }
    }
}

// Started with standard descriptors closed, the program must not hand their
// numbers to its result files: its log or its lines would land inside them.
TEST_F(QuillResults, ClosedStandardDescriptorsKeepTheFilesClean) {
    const std::string audio = file_with("audio.raw", pcm16_bytes(tone(1000)));
    const std_descriptor closed{std_descriptor::closed, "", -1};
    const struct {
        const char * what;
        std_descriptor fds[3];
        std::string text;
    } cases[] = {
        {"stdout and stderr closed", {{std_descriptor::file, audio}, closed, closed}, " hello world.\n"},
        {"stdin closed", {closed, {}, {}}, ""},
        {"all three closed", {closed, closed, closed}, ""},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        quill_session s =
            start_quill_with({"-m", k_model, "-t", "1", "-otxt", "-oj", "-of", dir + "/out", "-"}, c.fds, dir);
        const process_result r = finish_quill(s, std::chrono::seconds(60));
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err.find("failed to"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir + "/out.txt"), c.text);
        nlohmann::json json;
        ASSERT_NO_THROW(json = nlohmann::json::parse(read_file(dir + "/out.json")));
        EXPECT_EQ(json["transcription"].size(), c.text.empty() ? 0u : 1u);
    }
}

}  // namespace
