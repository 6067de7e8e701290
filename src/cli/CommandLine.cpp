#include "cli/CommandLine.h"

#include <cstring>

#include "page/Characters.h"
#include "common/Decimal.h"

namespace {

// A size option's value: decimal digits only, 1 to MAX_SIZE; 0 otherwise.
int ReadSize(const char* p_text) {
  if (*p_text == '\0') return 0;
  long value = 0;
  for (; *p_text != '\0'; ++p_text) {
    if (*p_text < '0' || *p_text > '9') return 0;
    value = value * 10 + (*p_text - '0');
    if (value > CommandLine::MAX_SIZE) return 0;
  }
  return int(value);
}

// An option without a value, and what it turns on; --half-blocks writes
// the HTML5 page too.
struct FlagOption {
  const char* p_name;
  bool CommandLine::*p_flag;
  bool CommandLine::*p_implied;
};

const FlagOption FLAG_OPTIONS[] = {
    {"--html5", &CommandLine::is_html5, &CommandLine::is_html5},
    {"--half-blocks", &CommandLine::is_half_blocks, &CommandLine::is_html5},
};

// An option with a value: a size, or a text (p_size null), and what is
// wrong when none follows.
struct ValueOption {
  const char* p_name;
  int CommandLine::*p_size;
  const char* CommandLine::*p_text;
  CommandLine::Problem missing;
};

const ValueOption VALUE_OPTIONS[] = {
    {"--width", &CommandLine::columns, nullptr, CommandLine::SIZE_WANTED},
    {"--height", &CommandLine::lines, nullptr, CommandLine::SIZE_WANTED},
    {"--title", nullptr, &CommandLine::p_title, CommandLine::TEXT_WANTED},
    {"--shades", nullptr, &CommandLine::p_shades, CommandLine::SHADES_WANTED},
    {"--output", nullptr, &CommandLine::p_output, CommandLine::FILE_NAME_WANTED},
    {"-o", nullptr, &CommandLine::p_output, CommandLine::FILE_NAME_WANTED},
};

// The option that `argument` names, as "--width" or "--width=N" (a short
// option only alone); null for none. p_value is then the text after '=',
// or null.
const ValueOption* FindValueOption(const char* p_argument, const char*& p_value) {
  for (const ValueOption& option : VALUE_OPTIONS) {
    std::size_t length = std::strlen(option.p_name);
    if (std::strncmp(p_argument, option.p_name, length) != 0) continue;
    if (p_argument[length] == '\0') {
      p_value = nullptr;
      return &option;
    }
    if (p_argument[length] == '=' && length > 2) {
      p_value = p_argument + length + 1;
      return &option;
    }
  }
  return nullptr;
}

void SetUsageError(CommandLine& command_line, CommandLine::Problem problem, const char* p_option,
                   const char* p_value) {
  if (command_line.request != CommandLine::CONVERT) return;  // only the first error counts
  command_line.request = CommandLine::USAGE_ERROR;
  command_line.problem = problem;
  command_line.p_bad_option = p_option;
  command_line.p_bad_value = p_value;
}

void SetValue(CommandLine& command_line, const ValueOption& option, const char* p_value) {
  if (option.p_size == nullptr) {
    const bool is_too_few_shades = option.missing == CommandLine::SHADES_WANTED && p_value != nullptr &&
                                   CountCharacters(p_value) < 2;
    // "-o ''" names no file, as "-o" alone.
    const bool is_empty_name =
        option.missing == CommandLine::FILE_NAME_WANTED && p_value != nullptr && *p_value == '\0';
    if (p_value == nullptr || is_too_few_shades || is_empty_name) {
      SetUsageError(command_line, option.missing, option.p_name, p_value);
    }
    command_line.*(option.p_text) = p_value;
    return;
  }
  const int size = p_value != nullptr ? ReadSize(p_value) : 0;
  if (size == 0) SetUsageError(command_line, option.missing, option.p_name, p_value);
  command_line.*(option.p_size) = size;
}

bool IsHelpOrVersion(const char* p_argument) {
  return std::strcmp(p_argument, "-h") == 0 || std::strcmp(p_argument, "--help") == 0 ||
         std::strcmp(p_argument, "--version") == 0;
}

// Reads the option at argv[i] with its value, moving i past a value taken
// from the next argument; false when argv[i] is no option. Before the
// image, "--width --help" asks for help, not for a width of "--help";
// after it, --help is text like any other value.
bool ReadOption(int argc, char* const argv[], int& i, bool is_before_image, CommandLine& command_line) {
  for (const FlagOption& option : FLAG_OPTIONS) {
    if (std::strcmp(argv[i], option.p_name) != 0) continue;
    command_line.*(option.p_flag) = true;
    command_line.*(option.p_implied) = true;
    return true;
  }
  const char* p_value = nullptr;
  const ValueOption* p_option = FindValueOption(argv[i], p_value);
  if (p_option == nullptr) return false;
  const bool is_help_next = i + 1 < argc && is_before_image && IsHelpOrVersion(argv[i + 1]);
  if (p_value == nullptr && i + 1 < argc && !is_help_next) p_value = argv[++i];
  SetValue(command_line, *p_option, p_value);
  return true;
}

// The arguments that are no options: the image, the source string and the
// three colour numbers; those after them are ignored.
const int MAX_POSITIONALS = 5;

// Reads the options wherever they stand before the first "--", which is
// itself dropped, and gathers the positional arguments; returns their count.
int ReadArguments(int argc, char* const argv[], CommandLine& command_line, CommandLine::Request& asked,
                  const char* positionals[MAX_POSITIONALS]) {
  int count = 0;
  bool is_reading_options = true;
  for (int i = 1; i < argc; ++i) {
    const char* p_argument = argv[i];
    if (is_reading_options && std::strcmp(p_argument, "--") == 0) {
      is_reading_options = false;
      continue;
    }
    if (is_reading_options && count == 0 && IsHelpOrVersion(p_argument)) {
      if (asked == CommandLine::CONVERT) asked = p_argument[2] == 'v' ? CommandLine::VERSION : CommandLine::HELP;
      continue;
    }
    if (is_reading_options && ReadOption(argc, argv, i, count == 0, command_line)) continue;
    if (count < MAX_POSITIONALS) positionals[count++] = p_argument;
  }
  return count;
}

// Options that only make sense with others, or with the right positional
// arguments.
void CheckCombinations(CommandLine& command_line) {
  if (command_line.p_title != nullptr && !command_line.is_html5) {
    SetUsageError(command_line, CommandLine::TITLE_WITHOUT_HTML5, "--title", command_line.p_title);
  }
  const bool has_source = command_line.p_source != nullptr && command_line.p_source[0] != '\0';
  if (command_line.is_half_blocks && command_line.p_shades != nullptr) {
    SetUsageError(command_line, CommandLine::SHADES_WITH_HALF_BLOCKS, "--shades", command_line.p_shades);
  }
  if (command_line.is_half_blocks && has_source) {
    SetUsageError(command_line, CommandLine::HALF_BLOCKS_WITH_SOURCE, "--half-blocks", command_line.p_source);
  }
  if (command_line.p_shades != nullptr && has_source) {
    SetUsageError(command_line, CommandLine::SHADES_WITH_SOURCE, "--shades", command_line.p_source);
  }
}

}  // namespace

void ReadCommandLine(int argc, char* const argv[], CommandLine& command_line) {
  command_line = CommandLine();
  CommandLine::Request asked = CommandLine::CONVERT;
  const char* positionals[MAX_POSITIONALS] = {};
  const int count = ReadArguments(argc, argv, command_line, asked, positionals);
  command_line.p_image = positionals[0];
  command_line.p_source = positionals[1];
  if (count == MAX_POSITIONALS) {
    command_line.has_background = true;
    command_line.bg_red = ReadDecimal(positionals[2]);
    command_line.bg_green = ReadDecimal(positionals[3]);
    command_line.bg_blue = ReadDecimal(positionals[4]);
  }
  CheckCombinations(command_line);
  if (asked != CommandLine::CONVERT) command_line.request = asked;
}
