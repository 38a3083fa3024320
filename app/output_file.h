// Writing the output: to standard output, or to a file that never exists
// half-written.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace codebook_app {

using Writer = std::function<void(std::ostream&)>;

// The open descriptor an output name stands for: "-" and /dev/stdout 1,
// /dev/stdin 0, /dev/stderr 2, /dev/fd/N and /proc/self/fd/N N; -1 for any other name.
// Such names are written through the descriptor the program already has,
// whatever it is connected to.
int DescriptorNamed(const std::string& path);

// Hands `write` a stream onto the descriptor; false with a message when a
// write failed (a full disk, a closed pipe when SIGPIPE is ignored). `name`
// is what messages call the destination ("standard output").
bool WriteToDescriptor(int fd, const std::string& name, const Writer& write, std::string& error);

// Writes the file `path`: to a temporary file beside it, renamed over it once
// complete. A symbolic link is followed, so its target is what is written;
// an existing file keeps its permissions (and its owner where allowed); a
// read-only file is refused as a shell would. Devices and pipes (e.g.
// /dev/null) are written directly. On failure returns false with a message,
// leaving nothing behind; an exception from `write` passes on, also leaving
// nothing behind. The temporary file is registered with the signal handlers
// while it exists.
bool WriteFileAtomically(const std::string& path, const Writer& write, std::string& error);
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

// Fixes the folder that `path` leads to now (after its links): a later
// WriteFileAtomically of the same `path` writes there even when a folder on
// the way has been replaced meanwhile, e.g. by a link into the data's folder
// during the data pass. Called once the output is known to be none of the
// inputs, so that it stays none of them. Does nothing for descriptors, or
// where the folder cannot be opened.
void PinOutputPlace(const std::string& path);

// Whether `path` can take the output, checked before a run's long work so
// that a missing folder, a folder named as the file or a file or folder the
// user may not write, or a full file system, is reported at once, not after the
// data pass: false with the message WriteFileAtomically would give. Creates
// nothing.
bool CheckOutputPlace(const std::string& path, std::string& error);

// False with a message naming the destination `name` when `fd` is a file on
// a file system without a free block: checked before a run's long work, as
// for CheckOutputPlace. Pipes, terminals and devices pass.
bool DescriptorHasRoom(int fd, const std::string& name, std::string& error);

// The output is a file the later steps of a run in parts read (a plan, a
// partial state): messages do not suggest standard output instead.
void OnlyFilesTakeTheOutput();

// Limits who may read a new output file (not one it replaces, which keeps
// its permissions) to those who may read `sources`, the regular files its
// contents come from (pipes and other files are passed over): the group and
// others lose the umask's read and write bits where one of them may not read
// a source, as cp and gzip make a copy of a private file private. A report
// shows the data's values; a 0600 dataset's report should not be readable by
// everyone only because the umask allows it.
void FollowSourcePermissions(const std::vector<std::string>& sources);

// True when what is written to `path` is seen only once it is complete: a
// file written through a temporary one, or the null device. Writing such an
// output while the commands run leaves nothing behind when they fail.
bool ShownOnlyWhole(const std::string& path);

// True when both names lead to the same file (device and inode), following
// symbolic links; false when either does not exist.
bool SameFile(const std::string& a, const std::string& b);
// The same for an open descriptor and a name.
bool SameFile(int fd, const std::string& b);

}  // namespace codebook_app
