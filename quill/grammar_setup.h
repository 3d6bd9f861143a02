#pragma once

#include "settings.h"

// Parses the grammar that "--grammar" gives, the whole contents of the file it
// names or else the option text itself, keeps it in `params.parsed_grammar`
// and echoes its rules on standard error. Without "--grammar" it does
// nothing. False, after the message, when the grammar yields no rules.
bool load_grammar(whisper_params & params);
