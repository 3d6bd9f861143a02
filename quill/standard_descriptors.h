#pragma once

// Opens /dev/null on each of descriptors 0-2 that is closed. Started with one
// closed, the program would hand that number to the first file it opens (the
// model, a result file) and its log or transcription would land inside it.
// Runs first, before anything is opened.
void open_closed_standard_descriptors();
