// Run: the command line's choices handed to each stage: what the page
// asks of the picture, the picture read from where the command line names
// it, the page written where the command line says, with the status each
// step ends in. main only puts these in order.

#ifndef MOTTLEPAGE_CLI_RUN_H
#define MOTTLEPAGE_CLI_RUN_H

#include <cstddef>

#include "cli/CommandLine.h"
#include "common/Output.h"
#include "page/PageLines.h"
#include "page/PageSize.h"
#include "picture/PictureReader.h"

// Pages go out in blocks of this size, from a WorkBuffer of this tag;
// per-character writes would cost more than the whole page.
const std::size_t PAGE_BUFFER_SIZE = std::size_t(1) << 17;
struct PageBufferTag {};

// The page's size in what the picture is read at: half-block pages count
// picture rows, half a text line each, so that every row their halves show
// is read.
PageRequest GetPageRequest(const CommandLine& command_line);

// The reader's options: the least size the page needs, the background for
// transparent pixels, and the memory the program may still use.
CanvasOptions GetCanvasOptions(const CommandLine& command_line, const PageRequest& request);

// The picture from the named file or, for "-", standard input.
LoadFailure ReadPicture(const CommandLine& command_line, PictureReader& reader, unsigned char*& p_pixel, int& width,
                        int& height);

// Whether --output names the image itself (by any name or link, or
// standard input's file); then the reason is written and nothing is read.
bool RefusesOutputOverImage(const CommandLine& command_line, OutputBuffer& err);

// The page to standard output, or (--output) to a file that takes FILE's
// place only once the page is complete, through the page buffer p_storage;
// the exit status.
int WritePageOut(const PageLines& lines, const CommandLine& command_line, OutputBuffer& out, char* p_storage,
                 std::size_t size, OutputBuffer& err);

// The status once standard output has taken everything: a page cut short
// by a full disk is a failure (1), with its reason.
int FinishOutput(OutputBuffer& out, OutputBuffer& err, int status);

#endif
