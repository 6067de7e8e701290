// CommandLine: the program's arguments in one plain struct.
//
//   mottlepage [OPTION]... image [source_string] [red green blue] [OPTION]...
//
// Only exact known names are options, and they stand anywhere before the
// first "--": --width=N or --width N, --height=N or --height N (N from 1
// to 65535), --html5, --half-blocks (an HTML5 page, so it takes --html5's
// options; no source string, no shades), --title=TEXT or --title TEXT
// (which needs --html5), --shades=CHARS or --shades CHARS (at least two
// characters), --output=FILE or --output FILE or -o FILE (a name, not "").
// -h, --help and --version are options only before the image: there they
// win wherever they stand, also over a bad option value, and the first of
// them counts; after it they are text, as stored commands use them.
// Otherwise the first problem counts. The first "--" ends the options and
// is no argument itself.
//
// Every other argument is positional, so -x, -, -5, --nope and --HELP are
// text, numbers or file names, and an image named like an option is given
// as ./--width=3 or after "--": the image ("-" is standard input), the
// source string (empty with --shades or --half-blocks), then the
// background colour, taken only when all three numbers are there (by the
// atoi rule, clamped); further arguments are ignored.

#ifndef MOTTLEPAGE_CLI_COMMANDLINE_H
#define MOTTLEPAGE_CLI_COMMANDLINE_H

struct CommandLine {
  enum Request { CONVERT, HELP, VERSION, USAGE_ERROR };
  static const int MAX_SIZE = 65535;

  Request request = CONVERT;
  int columns = 0;  // --width: characters per text line; 0 when not given
  int lines = 0;    // --height: text lines; 0 when not given
  bool is_html5 = false;         // also set by --half-blocks
  bool is_half_blocks = false;
  const char* p_title = nullptr;  // --title: null when not given
  const char* p_shades = nullptr;  // --shades: null when not given
  const char* p_output = nullptr;  // --output, -o: null for standard output
  const char* p_image = nullptr;   // null: no image given
  const char* p_source = nullptr;  // null: no source string given
  bool has_background = false;
  int bg_red = 0;
  int bg_green = 0;
  int bg_blue = 0;
  // USAGE_ERROR: what is wrong, the option (as "--width") and its value,
  // null when none followed it.
  enum Problem {
    SIZE_WANTED,
    TEXT_WANTED,
    FILE_NAME_WANTED,
    SHADES_WANTED,
    TITLE_WITHOUT_HTML5,
    SHADES_WITH_SOURCE,
    HALF_BLOCKS_WITH_SOURCE,
    SHADES_WITH_HALF_BLOCKS
  };
  Problem problem = SIZE_WANTED;
  const char* p_bad_option = nullptr;
  const char* p_bad_value = nullptr;

  bool IsScaled() const { return columns > 0 || lines > 0; }
};

void ReadCommandLine(int argc, char* const argv[], CommandLine& command_line);

#endif
