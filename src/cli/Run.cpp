#include "cli/Run.h"

#include <unistd.h>

#include <cstring>

#include "cli/Messages.h"
#include "common/MemoryLimit.h"
#include "common/OutputFile.h"
#include "page/PageWriter.h"

namespace {

// The page the command line asks for, on either kind of page.
PageStyle ChoosePageStyle(const CommandLine& command_line) {
  PageStyle style;
  style.p_source = command_line.p_source;
  style.p_shades = command_line.p_shades;
  style.bg_red = command_line.bg_red;
  style.bg_green = command_line.bg_green;
  style.bg_blue = command_line.bg_blue;
  style.p_title = command_line.p_title;
  // A page must have a title: an empty one gives way to the image's name.
  if (style.p_title == nullptr || *style.p_title == '\0') {
    style.p_title = std::strcmp(command_line.p_image, "-") == 0 ? "standard input" : command_line.p_image;
  }
  return style;
}

void WritePage(const PageLines& lines, const CommandLine& command_line, OutputBuffer& page) {
  if (command_line.is_half_blocks) {
    WriteHalfBlockPage(lines, ChoosePageStyle(command_line), page);
  } else if (command_line.is_html5) {
    WriteHTML5Page(lines, ChoosePageStyle(command_line), page);
  } else {
    WriteHTMLPage(lines, ChoosePageStyle(command_line), page);
  }
}

}  // namespace

// Standard output must have taken everything before the run counts as a
// success: a page cut short by a full disk is a failure.
int FinishOutput(OutputBuffer& out, OutputBuffer& err, int status) {
  out.Flush();
  if (!out.IsGood()) {
    WriteOutputFailure(err, out.GetWriteError());
    return 1;
  }
  return status;
}


// The page to standard output, or (--output) to a file that takes FILE's
// place only once the page is complete: a failure leaves FILE as it was.
// The page's buffer is the one standard output would have used.
int WritePageOut(const PageLines& lines, const CommandLine& command_line, OutputBuffer& out, char* p_storage,
                 std::size_t size, OutputBuffer& err) {
  if (command_line.p_output == nullptr) {
    WritePage(lines, command_line, out);
    return FinishOutput(out, err, 0);
  }
  OutputFile file;
  int error = file.Open(command_line.p_output);
  if (error == 0) {
    OutputBuffer page(file.GetDescriptor(), p_storage, size);
    WritePage(lines, command_line, page);
    page.Flush();
    error = page.IsGood() ? file.Commit() : -page.GetWriteError();
  }
  if (error == 0) return 0;
  WriteOutputFileFailure(err, command_line.p_output, -error, file.HasOldFile());
  return 1;
}

// --output naming the image itself (by any name or link, or standard
// input's file) is refused before anything is read: the page would replace
// the picture it draws.
bool RefusesOutputOverImage(const CommandLine& command_line, OutputBuffer& err) {
  const char* p_image = command_line.p_image;
  if (command_line.p_output == nullptr || p_image == nullptr) return false;
  if (!OutputFile::IsImageFile(command_line.p_output, std::strcmp(p_image, "-") == 0 ? nullptr : p_image)) {
    return false;
  }
  WriteOutputIsImage(err, command_line.p_output);
  return true;
}

// The half-block page is sized in picture rows, half a text line each, so
// that the picture is read with every row its halves show.
PageRequest GetPageRequest(const CommandLine& command_line) {
  PageRequest request;
  request.columns = command_line.columns;
  request.lines = command_line.is_half_blocks ? 2 * command_line.lines : command_line.lines;
  request.cell = command_line.is_half_blocks ? HALF_BLOCK_CELL : command_line.is_html5 ? HTML5_CELL : PAGE_CELL;
  return request;
}

// The picture at the least size the page needs, transparency on the
// page's background.
LoadFailure ReadPicture(const CommandLine& command_line, PictureReader& reader, unsigned char*& p_pixel, int& width,
                        int& height) {
  const char* p_image = command_line.p_image;
  if (p_image != nullptr && std::strcmp(p_image, "-") == 0) {
    return reader.ReadDescriptor(STDIN_FILENO, p_pixel, width, height);
  }
  return reader.ReadFile(p_image, p_pixel, width, height);
}

CanvasOptions GetCanvasOptions(const CommandLine& command_line, const PageRequest& request) {
  CanvasOptions options;
  options.p_choose_least_size = ChooseLeastPictureSize;
  options.p_size_context = &request;
  options.has_background = command_line.has_background;
  options.bg_red = command_line.bg_red;
  options.bg_green = command_line.bg_green;
  options.bg_blue = command_line.bg_blue;
  // A memory cgroup or ulimit -v: what does not fit is refused with its
  // reason before it is allocated, never ended by a signal.
  options.memory_limit = GetMemoryLeft();
  return options;
}
