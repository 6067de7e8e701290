// mottlepage: draws a picture as coloured text on an HTML page.
//
// main wires the three stages together: the command line (cli/), the
// picture read at the size the page needs (picture/), the page written
// (page/), with the messages and the exit status in between.

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "cli/CommandLine.h"
#include "cli/Messages.h"
#include "cli/Run.h"
#include "common/Output.h"
#include "common/WorkBuffer.h"
#include "page/PageLines.h"
#include "page/PageSize.h"
#include "picture/PictureReader.h"

int main(int argc, char* argv[]) {
  // Output beyond the file size limit (ulimit -f) is a failure with its
  // reason (File too large), as on a full disk, not an end by SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  // Both buffers come from outside the heap, so that every message can be
  // written whatever memory is left.
  WorkBuffer<PageBufferTag, 1024> page_storage(PAGE_BUFFER_SIZE);
  OutputBuffer out(STDOUT_FILENO, page_storage.GetData(), page_storage.GetSize());
  char err_storage[OutputBuffer::MIN_SIZE];
  OutputBuffer err(STDERR_FILENO, err_storage, sizeof err_storage);

  CommandLine command_line;
  ReadCommandLine(argc, argv, command_line);
  switch (command_line.request) {
    case CommandLine::HELP:
      WriteHelp(out);
      return FinishOutput(out, err, 0);
    case CommandLine::VERSION:
      WriteVersion(out);
      return FinishOutput(out, err, 0);
    case CommandLine::USAGE_ERROR:
      WriteUsageError(err, command_line);
      return 2;
    case CommandLine::CONVERT:
      break;
  }

  if (RefusesOutputOverImage(command_line, err)) return 1;

  const PageRequest request = GetPageRequest(command_line);
  PictureReader reader(GetCanvasOptions(command_line, request));
  unsigned char* p_pixel = nullptr;
  int width = 0;
  int height = 0;
  if (ReadPicture(command_line, reader, p_pixel, width, height) != LoadFailure::NONE) {
    WriteFailureStart(err);
    WriteLoadFailure(err, reader.GetReport(), command_line);
    WriteHelp(out);
    return FinishOutput(out, err, 1);
  }
  WriteLoadWarnings(err, reader.GetReport(), command_line);
  WriteWidePageWarning(err, command_line, width);

  PageLines lines = GetPictureLines(p_pixel, width, height);
  ScaledLines scaled_lines;
  if (request.IsScaled()) {
    // The page's size comes from the picture's own size, even when it was
    // read smaller.
    int page_columns = 0;
    int page_rows = 0;
    ChoosePageSize(reader.GetReport().width, reader.GetReport().height, request.columns, request.lines,
                   request.cell, page_columns, page_rows);
    const int rows_per_line = command_line.is_half_blocks ? 2 : 1;
    if (!scaled_lines.StartLines(p_pixel, width, height, page_columns, page_rows, lines, rows_per_line)) {
      std::free(p_pixel);
      WriteFailureStart(err);
      WriteScalingFailure(err, command_line, page_columns, (page_rows + rows_per_line - 1) / rows_per_line);
      WriteHelp(out);
      return FinishOutput(out, err, 1);
    }
  }

  const int status = WritePageOut(lines, command_line, out, page_storage.GetData(), page_storage.GetSize(), err);
  std::free(p_pixel);
  return status;
}
