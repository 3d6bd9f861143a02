#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Speech-model files in the whisper library's format, made for the tests:
// no real model can be fetched here, and a model with random weights decodes
// to the token limit through every temperature fallback. These models decode
// greedily to a fixed text, " hello world." from 0 to 1 s, whatever the
// audio, so tests can assert exact output.

// The kinds that `write_test_model` knows, each written as "<kind>.bin" by
// `write_all_test_models`: "fixed", "fixed-multilingual", "tiny",
// "fixed-control" (whose text is " hello\n\tworld.", with a line feed and a
// tab), "fixed-split-character" (whose text is "你好." in the tokens E4 BD,
// A0 E5 and A5 BD, each cutting a character), "fixed-ascii" (whose
// vocabulary knows no byte above 0x7F, so that no piece of text outside
// ASCII is a token), and the failure files
// "empty", "truncated", "bad-magic".
const std::vector<std::string> & test_model_kinds();

// Writes the model of `kind` to `path`. Returns "" on success, otherwise a
// message saying what went wrong.
std::string write_test_model(const std::string & kind, const std::string & path);

// Writes every kind into `dir` (created when missing). Returns "" or a message.
std::string write_all_test_models(const std::string & dir);

// IEEE half-precision bits of `value`, rounded to nearest even. Values below
// the half normal range become zero: the models never hold any.
uint16_t float_to_half(float value);
