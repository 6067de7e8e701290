#include "cli/Messages.h"

#include <cerrno>
#include <cstring>

#include "common/Colour.h"
#include "common/Utf8.h"
#include "picture/PictureFormats.h"

namespace {

// The help after its first line, which names the formats this build reads.
const char* const HELP_LINES[] = {
    "           see mottlepage(1) for further info and the options --width=N, --height=N, --html5, --half-blocks, --shades=CHARS, --output=FILE",
    "",
    "mottlepage image.ppm [source_string] [red green blue] > output.html",
    "",
    "   image.ppm        : rgb image in ppm format",
    "   source_string    : string used for rendering html page",
    "                      (omit for random characters from ['a','y'])",
    "   red, green, blue : html background color (omit for black)",
    "",
};

bool IsStandardInput(const char* p_name) { return std::strcmp(p_name, "-") == 0; }

// Bytes a name can hold that a terminal or a shell reads as more than text:
// ASCII control characters, C1 controls (U+0080..U+009F, which some
// terminals obey) and anything that is not well-formed UTF-8.
bool NeedsEscapes(const char* p_text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    if (*p < 32 || *p == 127) return true;
    const int length = GetUtf8Length(p);
    if (length == 0 || (length == 2 && p[0] == 0xC2 && p[1] < 0xA0)) return true;
    p += length;
  }
  return false;
}

// The $'...' form: every byte of a control character or of a broken
// sequence as an escape, everything else as it is.
void PutEscaped(OutputBuffer& out, const char* p_text) {
  static const char NAMED[] = "\a\b\t\n\v\f\r";
  static const char LETTERS[] = "abtnvfr";
  out.Put("$'");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    int length = GetUtf8Length(p);
    const bool is_control = *p < 32 || *p == 127 || (length == 2 && p[0] == 0xC2 && p[1] < 0xA0);
    if (length > 0 && !is_control) {
      if (*p == '\'' || *p == '\\') out.Put('\\');
      out.Put(reinterpret_cast<const char*>(p), std::size_t(length));
      p += length;
      continue;
    }
    for (int i = 0; i < (length > 0 ? length : 1); ++i, ++p) {
      const char* p_named = *p != 0 ? std::strchr(NAMED, *p) : nullptr;
      out.Put('\\');
      if (p_named != nullptr) {
        out.Put(LETTERS[p_named - NAMED]);
      } else {
        const char octal[3] = {char('0' + (*p >> 6)), char('0' + ((*p >> 3) & 7)), char('0' + (*p & 7))};
        out.Put(octal, 3);
      }
    }
  }
  out.Put('\'');
}

bool IsShellSafe(const char* p_word) {
  if (*p_word == '\0') return false;
  for (; *p_word != '\0'; ++p_word) {
    const char c = *p_word;
    const bool is_safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         std::strchr("_@%+=:,./-", c) != nullptr;
    if (!is_safe) return false;
  }
  return true;
}

// A file argument for a suggested command: quoted, and kept from being
// read as an option.
void PutFileWord(OutputBuffer& out, const char* p_name) {
  if (p_name[0] == '-') out.Put("./");
  PutShellWord(out, p_name);
}

void PutImageName(OutputBuffer& out, const char* p_name) {
  if (IsStandardInput(p_name)) {
    out.Put("standard input");
  } else {
    PutShownName(out, p_name);
  }
}

void StartLine(OutputBuffer& out, const CommandLine& command_line) {
  out.Put("mottlepage: ");
  PutImageName(out, command_line.p_image);
  out.Put(": ");
}

void PutSizeOption(OutputBuffer& out, const char* p_option, int value) {
  if (value == 0) return;
  out.Put(p_option);
  out.PutNumber(value);
}

// The page a suggested command writes: the user's own --output, or one
// named after the image in the current folder ("photo.html" for
// "pictures/photo.tiff"), never the image itself.
void PutPageName(OutputBuffer& out, const CommandLine& command_line) {
  const char* p_image = command_line.p_image;
  if (command_line.p_output != nullptr) {
    PutFileWord(out, command_line.p_output);
    return;
  }
  const char* p_slash = std::strrchr(p_image, '/');
  const char* p_base = p_slash != nullptr ? p_slash + 1 : p_image;
  const char* p_dot = std::strrchr(p_base, '.');
  const std::size_t length = p_dot != nullptr ? std::size_t(p_dot - p_base) : std::strlen(p_base);
  if (IsStandardInput(p_image) || length == 0 || (p_dot != nullptr && std::strcmp(p_dot, ".html") == 0)) {
    out.Put("page.html");
    return;
  }
  char name[256];
  if (length + sizeof ".html" > sizeof name) {
    out.Put("page.html");
    return;
  }
  std::memcpy(name, p_base, length);
  std::memcpy(name + length, ".html", sizeof ".html");
  PutFileWord(out, name);
}

// The mottlepage stage of a suggested pipeline: the user's own options,
// source string and colours, or a width that fits a screen.
void PutPageCommand(OutputBuffer& out, const CommandLine& command_line) {
  out.Put("mottlepage");
  PutSizeOption(out, " --width ", command_line.IsScaled() ? command_line.columns : 250);
  PutSizeOption(out, " --height ", command_line.lines);
  if (command_line.is_half_blocks) {
    out.Put(" --half-blocks");
  } else if (command_line.is_html5) {
    out.Put(" --html5");
  }
  if (command_line.p_title != nullptr) {
    out.Put(" --title ");
    PutShellWord(out, command_line.p_title);
  }
  if (command_line.p_shades != nullptr) {
    out.Put(" --shades ");
    PutShellWord(out, command_line.p_shades);
  }
  out.Put(" -o ");
  PutPageName(out, command_line);
  out.Put(" -");
  if (command_line.p_source != nullptr) {
    out.Put(' ');
    PutShellWord(out, command_line.p_source);
  }
  if (command_line.has_background) {
    for (int value : {command_line.bg_red, command_line.bg_green, command_line.bg_blue}) {
      out.Put(' ');
      out.PutNumber(value);
    }
  }
}

void PutSuggestion(OutputBuffer& out, const Converter& converter, const CommandLine& command_line) {
  out.Put(converter.p_tool);
  if (converter.is_magick) {
    out.Put(' ');
    if (IsStandardInput(command_line.p_image)) {
      out.Put('-');
    } else {
      PutFileWord(out, command_line.p_image);
    }
    out.Put(" -auto-orient -background 'rgb(");
    const bool has = command_line.has_background;
    out.PutNumber(has ? ClampColour(command_line.bg_red) : 0);
    out.Put(',');
    out.PutNumber(has ? ClampColour(command_line.bg_green) : 0);
    out.Put(',');
    out.PutNumber(has ? ClampColour(command_line.bg_blue) : 0);
    out.Put(")'");
    out.Put(converter.p_flatten);
    out.Put(" -depth 8 ppm:-");
  } else if (!IsStandardInput(command_line.p_image)) {
    out.Put(converter.is_reading_stdin_only ? " < " : " ");
    PutFileWord(out, command_line.p_image);
  }
  out.Put(converter.p_stages);
  PutPageCommand(out, command_line);
}

void PutUnreadableStart(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line,
                        bool is_ended) {
  const PPMLoadDetails& details = report.ppm;
  if (report.p_format != nullptr) {
    out.Put(report.p_format->p_description);
    out.Put(", not a PPM image (only P3 and P6 are read); draw it with: ");
    PutSuggestion(out, report.p_format->converter, command_line);
  } else if (!is_ended && details.first_bytes[0] == 'P' &&
             (details.first_bytes[1] == '3' || details.first_bytes[1] == '6')) {
    out.Put("the header ends within its first line");
  } else if (!is_ended) {
    out.Put("not a PPM image: its first line has no end");
  } else if (details.first_line_length == 0) {
    out.Put("not a PPM image: its first line is empty, where P3 or P6 must stand");
  } else {
    out.Put("not a PPM image: its first line does not start with P3 or P6");
  }
}

void PutMaximum(OutputBuffer& out, long long value, const CommandLine& command_line) {
  out.Put("maximum sample value ");
  out.PutNumber(value);
  if (value < 1 || value > 65535) {
    out.Put(" is not valid; it must be 255");
    return;
  }
  out.Put(", but only 255 is read; draw it with: ");
  PutSuggestion(out, {"pamdepth 255", false, " | ", false}, command_line);
}

void PutEmptyInput(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line) {
  if (report.ppm.is_empty) {
    out.Put("is empty");
  } else if (report.ppm.first_line_length == 0) {
    out.Put("holds only comment lines, no PPM header");
  } else {
    PutUnreadableStart(out, report, command_line, false);
  }
}

void PutReadFailure(OutputBuffer& out, int read_error, const CommandLine& command_line) {
  if (read_error == EISDIR && !IsStandardInput(command_line.p_image)) {
    out.Put("is a directory, not an image file");
    return;
  }
  out.Put("cannot read it: ");
  out.Put(std::strerror(read_error));
}

// The picture's own size and the bytes that were asked for; a picture not
// yet measured has no size to tell.
void PutMemoryShortage(OutputBuffer& out, const LoadReport& report) {
  if (report.width < 1 || report.height < 1) {
    out.Put("not enough memory to read it");
    return;
  }
  out.Put("not enough memory for a ");
  out.PutNumber(report.width);
  out.Put(" x ");
  out.PutNumber(report.height);
  out.Put(" image (");
  out.PutNumber(report.bytes_wanted);
  out.Put(" bytes)");
}

void PutOutsideRange(OutputBuffer& out, const char* p_what, long long value) {
  out.Put(p_what);
  out.PutNumber(value);
  out.Put(" is outside 1 to 65535");
}

// For a missing file whose name starts with '-': most likely a mistyped
// option.
void PutUnknownOption(OutputBuffer& out, const char* p_name) {
  if (p_name[0] != '-' || p_name[1] == '\0') return;
  out.Put("; nor is it an option (those are -h, --help, --version, --width=N, --height=N, --html5, "
          "--half-blocks, --title=TEXT, --shades=CHARS, --output=FILE, -o FILE); "
          "a file whose name starts with - is given as ");
  PutFileWord(out, p_name);
}

void PutUnreadable(OutputBuffer& out, const LoadReport& report, const char* p_words) {
  out.Put("not a readable ");
  out.Put(report.p_format != nullptr ? report.p_format->p_name : "PPM");
  out.Put(" image: ");
  PutShownName(out, p_words);
}

void PutLoadReason(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line) {
  switch (report.failure) {
    case LoadFailure::NONE:
    case LoadFailure::NO_FILE:
      break;
    case LoadFailure::UNREADABLE:
      PutUnreadable(out, report, report.words);
      break;
    case LoadFailure::CUT_IN_SIGNATURE:
      PutUnreadable(out, report, "the file ends within its signature");
      break;
    case LoadFailure::CANNOT_OPEN:
      out.Put("cannot open it: ");
      out.Put(report.system_error != 0 ? std::strerror(report.system_error) : "reason unknown");
      if (report.system_error == ENOENT) PutUnknownOption(out, command_line.p_image);
      break;
    case LoadFailure::CANNOT_READ:
      PutReadFailure(out, report.system_error, command_line);
      break;
    case LoadFailure::NO_FIRST_LINE:
      PutEmptyInput(out, report, command_line);
      break;
    case LoadFailure::NOT_PPM:
      PutUnreadableStart(out, report, command_line, true);
      break;
    case LoadFailure::NO_SIDES_LINE:
      out.Put("the header ends before its width and height line is complete");
      break;
    case LoadFailure::WIDTH_OUT_OF_RANGE:
      PutOutsideRange(out, "width ", report.refused_value);
      break;
    case LoadFailure::HEIGHT_OUT_OF_RANGE:
      if (report.ppm.is_space_missing) {
        out.Put("the width and height line has no space between the two numbers");
      } else {
        PutOutsideRange(out, "height ", report.refused_value);
      }
      break;
    case LoadFailure::NO_MAXIMUM_LINE:
      out.Put("the header ends before its maximum-value line is complete");
      break;
    case LoadFailure::BAD_MAXIMUM:
      PutMaximum(out, report.refused_value, command_line);
      break;
    case LoadFailure::NO_MEMORY:
      PutMemoryShortage(out, report);
      break;
    case LoadFailure::FILE_TOO_LARGE:
      out.Put("not enough memory to hold the file (");
      out.PutNumber(report.bytes_wanted);
      out.Put(" bytes)");
      break;
  }
}

}  // namespace

void PutShownName(OutputBuffer& out, const char* p_name) {
  if (NeedsEscapes(p_name)) {
    PutEscaped(out, p_name);
  } else {
    out.Put(p_name);
  }
}

void PutShellWord(OutputBuffer& out, const char* p_word) {
  if (IsShellSafe(p_word)) {
    out.Put(p_word);
  } else if (NeedsEscapes(p_word)) {
    PutEscaped(out, p_word);
  } else {
    out.Put('\'');
    for (const char* p = p_word; *p != '\0'; ++p) {
      if (*p == '\'') {
        out.Put("'\\''");
      } else {
        out.Put(*p);
      }
    }
    out.Put('\'');
  }
}

void WriteHelp(OutputBuffer& out) {
  out.Put("mottlepage - draws a ");
  out.Put(GetReadFormatsList());
  out.Put(" picture as coloured text on an HTML page\n");
  out.Flush();
  for (const char* p_line : HELP_LINES) {
    out.Put(p_line);
    out.Put('\n');
    out.Flush();
  }
}

void WriteVersion(OutputBuffer& out) {
  out.Put("mottlepage " MOTTLEPAGE_VERSION "\n");
  out.Flush();
}

void WriteFailureStart(OutputBuffer& out) { out.Put("\n>> file not found <<\n\n"); }

void WriteLoadFailure(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line) {
  if (command_line.p_image == nullptr) {
    out.Put("mottlepage: no image given\n");
  } else {
    StartLine(out, command_line);
    PutLoadReason(out, report, command_line);
    out.Put('\n');
  }
  out.Flush();
}

void WriteScalingFailure(OutputBuffer& out, const CommandLine& command_line, int columns, int lines) {
  StartLine(out, command_line);
  out.Put("not enough memory for a page of ");
  out.PutNumber(columns);
  out.Put(" characters by ");
  out.PutNumber(lines);
  out.Put(" lines");
  out.Put('\n');
  out.Flush();
}

void WriteLoadWarnings(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line) {
  const PPMLoadDetails& details = report.ppm;
  if (details.samples_read < details.samples_wanted) {
    StartLine(out, command_line);
    out.Put("warning: the image data ends after ");
    out.PutNumber(details.samples_read);
    out.Put(" of ");
    out.PutNumber(details.samples_wanted);
    out.Put(details.is_plain ? " samples" : " bytes");
    out.Put("; the rest is drawn black\n");
  } else if (report.is_cut_short) {
    StartLine(out, command_line);
    out.Put("warning: the image data ends early (");
    PutShownName(out, report.words);
    out.Put("); the rest is drawn from what arrived\n");
  }
  if (report.frame_count > 1) {
    StartLine(out, command_line);
    out.Put("warning: the file holds ");
    out.PutNumber(report.frame_count);
    out.Put(report.frame_kind == FrameKind::PAGES ? " pages; the first is drawn\n" : " frames; the first is drawn\n");
  }
  out.Flush();
}

void WriteOutputFailure(OutputBuffer& out, int write_error) {
  out.Put("mottlepage: output could not be written: ");
  out.Put(std::strerror(write_error));
  out.Put('\n');
  out.Flush();
}

void WriteUsageError(OutputBuffer& out, const CommandLine& command_line) {
  out.Put("mottlepage: ");
  out.Put(command_line.p_bad_option);
  out.Put(": ");
  const char* p_value = command_line.p_bad_value;
  switch (command_line.problem) {
    case CommandLine::SIZE_WANTED:
      if (p_value != nullptr) {
        PutShellWord(out, p_value);
        out.Put(" is not a number from 1 to 65535");
      } else {
        out.Put("a number from 1 to 65535 must follow");
      }
      break;
    case CommandLine::TEXT_WANTED:
      out.Put("a text must follow");
      break;
    case CommandLine::FILE_NAME_WANTED:
      out.Put("a file name must follow");
      break;
    case CommandLine::SHADES_WANTED:
      if (p_value != nullptr) {
        PutShellWord(out, p_value);
        out.Put(" holds fewer than two characters; give them from least ink to most, as ' .:#'");
      } else {
        out.Put("characters from least ink to most must follow, at least two, as ' .:#'");
      }
      break;
    case CommandLine::TITLE_WITHOUT_HTML5:
      out.Put("a title needs --html5, the page with a head to hold it");
      break;
    case CommandLine::SHADES_WITH_SOURCE:
      out.Put("the shades draw the picture, so the source string ");
      PutShellWord(out, p_value);
      out.Put(" must be empty: give '' before a background colour");
      break;
    case CommandLine::HALF_BLOCKS_WITH_SOURCE:
      out.Put("the halves draw the picture in colour alone, so the source string ");
      PutShellWord(out, p_value);
      out.Put(" must be empty: give '' before a background colour");
      break;
    case CommandLine::SHADES_WITH_HALF_BLOCKS:
      out.Put("the half blocks draw the picture in colour alone, without characters: give one or the other");
      break;
  }
  out.Put("\nTry 'mottlepage --help'\n");
  out.Flush();
}

void WriteWidePageWarning(OutputBuffer& out, const CommandLine& command_line, int columns) {
  // A browser takes half a minute to show the default page 1000
  // characters wide, and minutes for wider ones.
  const int MAX_QUICK_COLUMNS = 1000;
  if (command_line.IsScaled() || columns <= MAX_QUICK_COLUMNS) return;
  StartLine(out, command_line);
  out.Put("warning: the page is ");
  out.PutNumber(columns);
  out.Put(" characters wide, which a browser takes minutes to show; --width 250 fits a screen 1400 px wide\n");
  out.Flush();
}

void WriteOutputFileFailure(OutputBuffer& out, const char* p_path, int write_error, bool has_old_file) {
  out.Put("mottlepage: ");
  PutShownName(out, p_path);
  out.Put(": the page could not be written: ");
  out.Put(std::strerror(write_error));
  out.Put(has_old_file ? "; the file is left as it was\n" : "\n");
  out.Flush();
}

void WriteOutputIsImage(OutputBuffer& out, const char* p_path) {
  out.Put("mottlepage: ");
  PutShownName(out, p_path);
  out.Put(": the page could not be written: it is the image itself; the file is left as it was\n");
  out.Flush();
}
