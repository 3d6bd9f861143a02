#include "result_writers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common.h"
#include "error_text.h"
#include "file_acl.h"
#include "full_write.h"
#include "temp_name.h"
#include "whisper.h"

namespace {

// A result file in the making: written under a name of its own beside the
// final one and renamed over it once complete. A failed write (a full disk, a
// quota) then leaves the previous file whole, and a symbolic link at the name
// is replaced rather than its target truncated. `temp_path` stays empty for a
// file rewritten in place.
struct result_file {
    const char * writer = nullptr;
    std::string path;
    std::string temp_path;
    int fd = -1;
};

// The name is drawn at random, so that another user of a shared folder cannot
// take it first; O_EXCL never follows a link planted at it, and a name taken
// all the same is stepped over with another draw. It is cut short where the
// final name leaves too little room for the suffix.
int create_beside(const std::string & path, mode_t mode, std::string & temp_path) {
    constexpr int k_attempts = 100;
    const size_t name_max = name_max_beside(path);
    for (int attempt = 0; attempt < k_attempts; ++attempt) {
        std::string suffix;
        if (!random_temp_suffix(suffix)) {
            return -1;
        }
        temp_path = temp_path_beside(path, suffix, name_max);
        const int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// A file the user made read-only would have refused to open for writing;
// renaming over it must not get round that.
bool may_replace(const std::string & path) {
    return access(path.c_str(), F_OK) != 0 || access(path.c_str(), W_OK) == 0;
}

// What the replacement takes on of the file at the name: a regular file's
// access ACL (or its permission bits, where there are no ACLs), owner and
// group. A link at the name is replaced, not its target, so the replacement
// is this user's own, yet no more open than the file it stood for: it takes
// the target's ACL and bits alone.
struct previous_file {
    struct stat info;
    bool keeps_owner = false;
    file_acl acl;
};

// What stands at a result file's name: nothing to take after (no file, or a
// link to anything but a regular file, which the result replaces as it would
// a missing one), a file to take after, or a node of another kind (a FIFO, a
// socket, a device, a directory), which is no result file and stays as it is.
enum class at_name { nothing, previous_file, other_node };

at_name read_previous_file(const std::string & path, previous_file & previous) {
    if (lstat(path.c_str(), &previous.info) != 0) {
        return at_name::nothing;
    }
    previous.keeps_owner = S_ISREG(previous.info.st_mode);
    if (S_ISLNK(previous.info.st_mode)) {
        if (stat(path.c_str(), &previous.info) != 0 || !S_ISREG(previous.info.st_mode)) {
            return at_name::nothing;
        }
    } else if (!previous.keeps_owner) {
        return at_name::other_node;
    }
    previous.acl = read_access_acl(path);
    return at_name::previous_file;
}

// The replacement takes on the previous file's owner and group, then its
// ACL, since a change of owner may clear bits. Created readable to its owner
// alone, and with no named user or group let in by a default ACL of the
// folder (its mask is empty), it is no more open meanwhile than the file it
// replaces. A filesystem without owners gives every file the same, so only
// an owner or group that differs is asked for. False where the owner, the
// group or the ACL cannot be given.
bool take_on_previous_file(int fd, const previous_file & previous) {
    struct stat made;
    if (fstat(fd, &made) != 0) {
        return false;
    }
    const struct stat & was = previous.info;
    if (previous.keeps_owner && (made.st_uid != was.st_uid || made.st_gid != was.st_gid) &&
        fchown(fd, was.st_uid, was.st_gid) != 0) {
        return false;
    }
    return give_access_acl(fd, previous.acl, was.st_mode);
}

// The file itself, where it cannot be replaced yet is writable to this user
// (one made so in a shared folder): rewritten in place, as before files were
// renamed into place, though a full disk then leaves it cut short and a
// reader may meet it empty or partly written. Only a regular file with no
// other name is written: a link planted at the name, symbolic or hard, is not
// followed, and a FIFO or a device neither blocks the open nor is written.
// O_CREAT makes the open the one of any program's `>`, so that the kernel's
// guard of sticky folders (Linux's fs.protected_regular) refuses a file that
// another user planted there; a file gone meanwhile is made anew, as `>` would.
int open_in_place(const std::string & path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void drop_file_in_making(result_file & file) {
    if (!file.temp_path.empty()) {
        unlink(file.temp_path.c_str());
        file.temp_path.clear();
    }
}

// Where a replacement would take the file from its owner or its group, or
// the directory refuses it (one this user may not write in, a sticky one
// where the file is another user's), the file in the making goes and the
// file itself is rewritten.
int rewrite_in_place_instead(result_file & file) {
    drop_file_in_making(file);
    return open_in_place(file.path);
}

bool is_refusal(int error) { return error == EACCES || error == EPERM; }

// The descriptor to write the new contents to, -1 when there is none. A file
// new to the directory is created as any program creates one, so that the
// umask, or the directory's default ACL in its stead, decides its mode.
int open_for_rewrite(result_file & file) {
    previous_file previous;
    const at_name found = read_previous_file(file.path, previous);
    if (found == at_name::other_node || !may_replace(file.path)) {
        return -1;
    }
    const bool has_previous = found == at_name::previous_file;
    const int fd = create_beside(file.path, has_previous ? 0600 : 0666, file.temp_path);
    if (fd < 0) {
        const int refusal = errno;
        file.temp_path.clear();
        return is_refusal(refusal) ? rewrite_in_place_instead(file) : -1;
    }
    if (has_previous && !take_on_previous_file(fd, previous)) {
        close(fd);
        return rewrite_in_place_instead(file);
    }
    return fd;
}

// Every writer, the karaoke and score ones included, says when its file does
// not open: announcing a save that cannot happen would hide the loss.
bool open_result_file(result_file & file, const char * writer, const std::string & fname) {
    file.writer = writer;
    file.path = fname;
    file.fd = open_for_rewrite(file);
    if (file.fd < 0) {
        std::fprintf(stderr, "%s: failed to open '%s' for writing\n", writer, fname.c_str());
        return false;
    }
    std::fprintf(stderr, "%s: saving output to '%s'\n", writer, fname.c_str());
    return true;
}

// Writes `text` to the open file and closes it; 0, or the errno that failed.
int write_and_close(result_file & file, const std::string & text) {
    int error = full_write(file.fd, text.data(), text.size());
    if (close(file.fd) != 0 && error == 0) {
        error = errno;
    }
    file.fd = -1;
    return error;
}

// Writes `text` and renames the file into place, or rewrites the file itself
// where the directory refuses the rename; 0, or the errno that failed. A
// partial file in the making is removed, so that the previous one stays.
int put_in_place(result_file & file, const std::string & text) {
    const int error = write_and_close(file, text);
    if (error != 0 || file.temp_path.empty()) {
        drop_file_in_making(file);
        return error;
    }
    if (rename(file.temp_path.c_str(), file.path.c_str()) == 0) {
        return 0;
    }
    const int refusal = errno;
    file.fd = is_refusal(refusal) ? rewrite_in_place_instead(file) : -1;
    if (file.fd < 0) {
        drop_file_in_making(file);
        return refusal;
    }
    return put_in_place(file, text);
}

// On any failure the writer says why.
bool commit_result_file(result_file & file, const std::string & text) {
    const int error = put_in_place(file, text);
    if (error != 0) {
        std::fprintf(stderr, "%s: failed to write '%s': %s\n", file.writer, file.path.c_str(),
                     error_text(error).c_str());
        return false;
    }
    return true;
}

void save_text(const char * writer, const std::string & fname, const std::string & text) {
    result_file file;
    if (open_result_file(file, writer, fname)) commit_result_file(file, text);
}

void output_txt(const std::vector<result_segment> & segments, const std::string & fname) {
    save_text("output_txt", fname, format_txt(segments));
}

void output_vtt(const std::vector<result_segment> & segments, const std::string & fname) {
    save_text("output_vtt", fname, format_vtt(segments));
}

void output_srt(const std::vector<result_segment> & segments, const std::string & fname,
                const whisper_params & params) {
    save_text("output_srt", fname, format_srt(segments, params.offset_n));
}

// The font is taken from the settings on the first run only and kept for the
// rest of the process, whatever later input names run with.
void output_wts(const std::vector<result_segment> & segments, const std::string & fname,
                const std::string & input_name, const whisper_params & params, float duration_s) {
    static const std::string font_path = params.font_path;
    result_file file;
    if (!open_result_file(file, "output_wts", fname)) return;
    if (!is_file_exist(font_path.c_str())) {
        std::fprintf(stderr, "%s: font not found at '%s', please specify a monospace font with -fp\n",
                     "output_wts", font_path.c_str());
        commit_result_file(file, "");
        return;
    }
    if (commit_result_file(file, format_wts(segments, input_name, font_path, duration_s))) {
        std::fprintf(stderr, "%s: run 'source %s' to generate karaoke video\n", "output_wts", fname.c_str());
    }
}

void output_csv(const std::vector<result_segment> & segments, const std::string & fname) {
    save_text("output_csv", fname, format_csv(segments));
}

void output_json(whisper_context * ctx, const std::vector<result_segment> & segments, const std::string & fname,
                 const whisper_params & params, bool full) {
    save_text("output_json", fname, format_json(read_json_facts(ctx, params), segments, full, params.tinydiarize));
}

void output_lrc(const std::vector<result_segment> & segments, const std::string & fname) {
    save_text("output_lrc", fname, format_lrc(segments));
}

void output_score(const std::vector<result_segment> & segments, const std::string & fname) {
    std::string text;
    for (const auto & segment : segments) {
        for (const auto & token : segment.tokens) text += format_score_line(token);
    }
    save_text("output_score", fname, text);
}

bool any_result_file(const whisper_params & params) {
    return params.output_txt || params.output_vtt || params.output_srt || params.output_wts ||
           params.output_csv || params.output_json || params.output_lrc || params.log_score;
}

std::string text_or_empty(const char * text) { return text != nullptr ? text : ""; }

}  // namespace

std::vector<result_segment> read_segments(whisper_context * ctx) {
    const whisper_token eot = whisper_token_eot(ctx);
    std::vector<result_segment> segments(static_cast<size_t>(std::max(0, whisper_full_n_segments(ctx))));
    for (int i = 0; i < static_cast<int>(segments.size()); ++i) {
        result_segment & segment = segments[static_cast<size_t>(i)];
        segment.text = text_or_empty(whisper_full_get_segment_text(ctx, i));
        segment.t0 = whisper_full_get_segment_t0(ctx, i);
        segment.t1 = whisper_full_get_segment_t1(ctx, i);
        segment.speaker_turn_next = whisper_full_get_segment_speaker_turn_next(ctx, i);
        const int n_tokens = whisper_full_n_tokens(ctx, i);
        for (int j = 0; j < n_tokens; ++j) {
            const whisper_token_data data = whisper_full_get_token_data(ctx, i, j);
            result_token token;
            token.text = text_or_empty(whisper_token_to_str(ctx, data.id));
            token.id = data.id;
            token.p = data.p;
            token.t0 = data.t0;
            token.t1 = data.t1;
            token.t_dtw = data.t_dtw;
            token.special = data.id >= eot;
            segment.tokens.push_back(token);
        }
    }
    return segments;
}

json_document_facts read_json_facts(whisper_context * ctx, const whisper_params & params) {
    json_document_facts facts;
    facts.system_info = text_or_empty(whisper_print_system_info());
    facts.model_type = text_or_empty(whisper_model_type_readable(ctx));
    facts.multilingual = whisper_is_multilingual(ctx) != 0;
    facts.n_vocab = whisper_model_n_vocab(ctx);
    facts.audio = {whisper_model_n_audio_ctx(ctx), whisper_model_n_audio_state(ctx), whisper_model_n_audio_head(ctx),
                   whisper_model_n_audio_layer(ctx)};
    facts.text = {whisper_model_n_text_ctx(ctx), whisper_model_n_text_state(ctx), whisper_model_n_text_head(ctx),
                  whisper_model_n_text_layer(ctx)};
    facts.n_mels = whisper_model_n_mels(ctx);
    facts.ftype = whisper_model_ftype(ctx);
    facts.model_path = params.model;
    facts.language = params.language;
    facts.translate = params.translate;
    // An id the library does not know has no name; an empty one keeps the file whole.
    facts.result_language = text_or_empty(whisper_lang_str(whisper_full_lang_id(ctx)));
    return facts;
}

void write_result_files(whisper_context * ctx, const whisper_params & params, const std::string & input_name,
                        const std::string & output_name, size_t n_samples) {
    if (!any_result_file(params)) return;
    // Nothing transcribed has no segments; the context would still hold the
    // previous transcription's, which belong to other audio.
    const std::vector<result_segment> segments = n_samples > 0 ? read_segments(ctx) : std::vector<result_segment>{};
    if (params.output_txt) output_txt(segments, output_name + ".txt");
    if (params.output_vtt) output_vtt(segments, output_name + ".vtt");
    if (params.output_srt) output_srt(segments, output_name + ".srt", params);
    if (params.output_wts) output_wts(segments, output_name + ".wts", input_name, params, karaoke_duration(n_samples));
    if (params.output_csv) output_csv(segments, output_name + ".csv");
    if (params.output_json) output_json(ctx, segments, output_name + ".json", params, params.output_json_full);
    if (params.output_lrc) output_lrc(segments, output_name + ".lrc");
    if (params.log_score) output_score(segments, output_name + ".score.txt");
}
