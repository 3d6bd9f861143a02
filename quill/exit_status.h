#pragma once

// The statuses the transcriber ends with. A refused argument ends it with 0,
// like "--help", after its message on standard error: the desktop application
// relies on that, and it is the convention of every command line in this
// system (the text-generation options end the same way). Only what goes wrong
// once the arguments are accepted has a status of its own.
enum class quill_exit : int {
    success = 0,  // also after SIGINT, and after "--help"
    // An unknown option, a missing or refused value, an unknown language,
    // "--diarize" with "--tinydiarize".
    argument_error = 0,
    response_file_missing = 1,
    no_input = 2,  // no input name given, or none left that opens
    // An unknown DTW preset, one made for another model size, a model file
    // that ends before what its header announces, or a model that does not
    // load.
    model_failed = 3,
    // The grammar gives no rules: it does not parse, or goes beyond the
    // parser's bounds.
    grammar_failed = 4,
    thread_not_started = 5,  // capture, processing or the prompt's tokenising could not be started
    transcription_failed = 10,
    // Standard output could not be written: the transcription under way is
    // finished (its result files too), then the process ends.
    stdout_failed = 11,
    // Standard input could not be read (not merely ended): what was read
    // before is still transcribed, then the program ends.
    stdin_failed = 12,
};

constexpr int exit_code(quill_exit status) { return static_cast<int>(status); }
