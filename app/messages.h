// Messages on standard error. Texts from the data (names, labels, cells,
// file names) reach messages, so control characters are shown escaped: a
// message can neither drive the terminal (escape sequences, a title change)
// nor reorder itself (direction overrides).
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace codebook_app {

// The text with C0 controls other than the line feed (a message may list
// several problems, one per line), DEL and bytes that are not UTF-8 shown as
// \xHH, and C1 controls, bidirectional controls and line separators shown as
// \uXXXX. Everything else is kept.
std::string EscapeControls(std::string_view text);

// The text with every word (a run without blanks) of more than 1000 bytes
// shown by its first 200 and its length: a name of megabytes in a syntax file
// or a cell, quoted in a message, does not flood the terminal.
std::string ShortenLongWords(std::string_view text);

// Takes the line feeds inside `path`'s names (a file or folder named with one,
// given on the command line) for text: in a later message they are shown as
// \x0A instead of breaking the message into lines that each look like one.
void LineFeedsAreText(std::string_view path);

// "codebook: <message>" on standard error, escaped and long words shortened; a message of several
// lines (one problem each) gets the prefix on every line.
void Fail(std::string_view message);
// "codebook: warning: <message>" on standard error, escaped, as Fail.
void Warn(std::string_view message);
// "codebook: note: <message>" on standard error, escaped, as Fail; nothing
// once QuietNotes was called.
void Note(std::string_view message);
// --quiet: notes said deep inside the run (a named pipe the run waits on)
// are kept off standard error like those the run collects.
void QuietNotes();

// "codebook: out of memory while <doing> <file>" on standard error; when
// even that message cannot be allocated, written in pieces.
void FailOutOfMemory(const char* doing, const char* file) noexcept;

// True when `e` says the system would not start a thread (no room for its
// stack under a limit on the address space, or no more processes allowed):
// the same want of resources as memory that ran out, reported as such.
bool NoRoomForThread(const std::exception& e) noexcept;

}  // namespace codebook_app
