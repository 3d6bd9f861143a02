#include "common_whisper.h"
