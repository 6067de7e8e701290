// Messages: everything the program says besides the page, in one place.
//
// On standard output: the help. On standard error:
//   mottlepage: NAME: REASON                  why the picture did not load
//   mottlepage: NAME: warning: REASON         the image data was cut short, or
//                                             the file holds frames (pages) not drawn
//   mottlepage: output could not be written: CAUSE
//   mottlepage: NAME: warning: the page is 5120 characters wide, ...
//   mottlepage: FILE: the page could not be written: CAUSE[; ...]  (--output)
//   mottlepage: --width: PROBLEM              a bad option, then
//   Try 'mottlepage --help'
//
// NAME is the image argument as given ("standard input" for "-"); a name
// with control characters or bytes that are not UTF-8 is shown in the
// shell's $'...' form, so that every message stays one line and no
// terminal sees an escape sequence. Where a reason suggests a command, the
// command is complete and works when pasted: file names and the user's
// source string are quoted for the shell, and it draws the page the user
// asked for into a file named after the image (-o photo.html), which a
// failed run leaves as it was. Reasons read the picture reader's report,
// never numbers of its own: every number in a message is the file's, the
// picture's or the page's.

#ifndef MOTTLEPAGE_CLI_MESSAGES_H
#define MOTTLEPAGE_CLI_MESSAGES_H

#include "cli/CommandLine.h"
#include "common/Output.h"
#include "picture/LoadReport.h"

// The usage text; its first line names the formats this build reads.
void WriteHelp(OutputBuffer& out);

// "mottlepage" and the version, one line.
void WriteVersion(OutputBuffer& out);

// The fixed message that opens every run ending without a page, before its
// reason line (the help then follows on standard output).
void WriteFailureStart(OutputBuffer& out);

// The reason line for a failed load.
void WriteLoadFailure(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line);

// The reason line when a page of columns x lines finds no memory to scale
// the picture.
void WriteScalingFailure(OutputBuffer& out, const CommandLine& command_line, int columns, int lines);

// The warning lines after a load: data cut short (a PPM's samples, or a
// decoder's own words), frames left out of an animation or pages of a
// document; nothing for a complete picture of one frame.
void WriteLoadWarnings(OutputBuffer& out, const LoadReport& report, const CommandLine& command_line);

void WriteOutputFailure(OutputBuffer& out, int write_error);

// The line for a page file (--output) that could not be made or written;
// it says the file is left as it was when there was one to leave.
void WriteOutputFileFailure(OutputBuffer& out, const char* p_path, int write_error, bool has_old_file);

// The line for a page file (--output) that is the image being drawn.
void WriteOutputIsImage(OutputBuffer& out, const char* p_path);

// The warning line for a page of `columns` characters a line that no
// browser shows in good time, when no --width or --height chose it.
void WriteWidePageWarning(OutputBuffer& out, const CommandLine& command_line, int columns);

// The two lines for a bad option value or combination.
void WriteUsageError(OutputBuffer& out, const CommandLine& command_line);

// A name as a message shows it: as it is, or in $'...' form when it holds
// control characters or bytes that are not UTF-8.
void PutShownName(OutputBuffer& out, const char* p_name);

// A word as a shell reads it back: as it is when that is safe, else in
// single quotes, or in $'...' form when it holds control characters.
void PutShellWord(OutputBuffer& out, const char* p_word);

#endif
