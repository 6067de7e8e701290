// PlainSamples: the fast path of the plain (P3) sample reader.
//
// Plain files as netpbm, ImageMagick and most hand-written writers make
// them are runs of short decimal numbers separated by spaces and line
// ends. The fast path reads those many bytes at a time: it classifies a
// block of 16 or 32 bytes at once (digit, separator, anything else), finds
// where numbers end from the masks, computes every number's low eight bits
// in all lanes together and packs them into the buffer.
//
// It reads only blocks that hold nothing but numbers of one to three
// digits and the separators space, tab, carriage return and line feed, and
// it stops before any other block, so that the reader's exact scalar path
// takes over for signs, words, '#', NUL, vertical tab, form feed, long
// numbers and the image's last samples. Within such blocks the plain
// format's rules come down to "each number is one sample, stored as its
// low eight bits", whatever lines they stand on.
//
// Every x86-64 processor runs the SSE2 code; SSSE3 and AVX2 code is chosen
// at run time when the processor has it. Other processors use the scalar
// path only.

#ifndef MOTTLEPAGE_PICTURE_FORMATS_PLAINSAMPLES_H
#define MOTTLEPAGE_PICTURE_FORMATS_PLAINSAMPLES_H

#include <cstdint>

enum class PlainSampleCode { SCALAR, SSE2, SSSE3, AVX2 };

// The best code this processor runs.
PlainSampleCode GetBestPlainSampleCode();

// Reads samples from p_text on, within [p_text, p_end), into p_out, at most
// `wanted` of them. p_text must stand where a number starts or at a
// separator, in a data line. Leaves p_text where a number starts or at a
// separator, never just after a line feed (on it instead, so that the
// scalar path sees the line end), and returns the number of samples
// stored; 0 when the bytes at p_text are not for the fast path.
using FastSampleReader = std::int64_t (*)(const char*& p_text, const char* p_end, unsigned char* p_out,
                                           std::int64_t wanted);

// The reader for `code`; null for SCALAR.
FastSampleReader GetFastSampleReader(PlainSampleCode code);

#endif
